// link-fault: a radio link that misbehaves, for soak tests. It offers two pseudo-terminals,
// one for the ground end and one for the aircraft end, and passes bytes between them with
// seeded faults each way and silent outages of a given length. At the end it prints what it
// did as key=value lines.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/link-fault/FaultInjector.h"

namespace {

const char kUsage[] =
    "usage: link-fault --ground LINK --air LINK [options]\n"
    "  --ground LINK, --air LINK  symbolic links to create, one per end of the radio\n"
    "  --loss R, --flip R, --dup R, --noise R\n"
    "                             per-byte rate of each fault, each way (0)\n"
    "  --seed N                   seed of the faults (1); each way draws its own sequence\n"
    "  --outage S                 length of a silent outage in seconds (0: none)\n"
    "  --outage-every S           an outage starts every S seconds of faulty running (60)\n"
    "  --outages N                at most N outages (0: no limit)\n"
    "  --on-signal                pass bytes unchanged until SIGUSR1, then start the faults\n"
    "  --duration S               stop after S seconds (0: at SIGINT or SIGTERM)\n"
    "Progress lines go to stderr, the summary to stdout.\n";

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_faultsOn = 0;

void onStop(int) { g_stop = 1; }
void onFaults(int) { g_faultsOn = 1; }

double nowSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

struct Options {
    std::string ground;
    std::string air;
    FaultRates rates;
    uint64_t seed = 1;
    double outage = 0;
    double outageEvery = 60;
    long outages = 0;
    bool onSignal = false;
    double duration = 0;
};

bool parseOptions(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--on-signal") {
            o.onSignal = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "link-fault: %s needs a value\n", a.c_str());
            return false;
        }
        const char *v = argv[++i];
        char *end = nullptr;
        const double number = std::strtod(v, &end);
        const bool numeric = end != v && *end == '\0' && number >= 0;
        double *target = a == "--loss"           ? &o.rates.loss
                         : a == "--flip"         ? &o.rates.flip
                         : a == "--dup"          ? &o.rates.dup
                         : a == "--noise"        ? &o.rates.noise
                         : a == "--outage"       ? &o.outage
                         : a == "--outage-every" ? &o.outageEvery
                         : a == "--duration"     ? &o.duration
                                                 : nullptr;
        if (a == "--ground") {
            o.ground = v;
        } else if (a == "--air") {
            o.air = v;
        } else if (!numeric) {
            std::fprintf(stderr, "link-fault: unknown option %s or bad value %s\n", a.c_str(), v);
            return false;
        } else if (target) {
            *target = number;
        } else if (a == "--seed") {
            o.seed = static_cast<uint64_t>(number);
        } else if (a == "--outages") {
            o.outages = static_cast<long>(number);
        } else {
            std::fprintf(stderr, "link-fault: unknown option %s\n", a.c_str());
            return false;
        }
    }
    const FaultRates &r = o.rates;
    if (o.ground.empty() || o.air.empty() || r.loss + r.flip + r.dup + r.noise > 1
        || (o.outage > 0 && o.outageEvery <= o.outage)) {
        std::fputs(kUsage, stderr);
        return false;
    }
    return true;
}

// One end of the radio: a pseudo-terminal whose slave is published under a link. The slave
// stays open here too, so the master never hangs up while the program at that end restarts.
struct End {
    const char *name;
    std::string link;
    int master = -1;
    int slave = -1;
};

bool openEnd(End &end)
{
    end.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (end.master < 0 || grantpt(end.master) != 0 || unlockpt(end.master) != 0)
        return false;
    const char *slavePath = ptsname(end.master);
    if (!slavePath)
        return false;
    end.slave = ::open(slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio;
    if (end.slave < 0 || tcgetattr(end.slave, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    if (tcsetattr(end.slave, TCSANOW, &tio) != 0)
        return false;
    ::unlink(end.link.c_str());
    return ::symlink(slavePath, end.link.c_str()) == 0;
}

// Writes what it can within a short wait; the rest is lost as a full radio buffer would lose it.
void deliver(int fd, const std::vector<uint8_t> &bytes, FaultCounts &counts)
{
    size_t done = 0;
    const double deadline = nowSeconds() + 0.2;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if ((n < 0 && errno != EAGAIN) || nowSeconds() >= deadline)
            break;
        pollfd pfd{fd, POLLOUT, 0};
        ::poll(&pfd, 1, 10);
    }
    counts.overflow += static_cast<long long>(bytes.size() - done);
    counts.bytesOut -= static_cast<long long>(bytes.size() - done);
}

void printCounts(const char *prefix, const FaultCounts &c)
{
    std::printf("%s_bytes_in=%lld\n%s_bytes_out=%lld\n%s_lost=%lld\n%s_flipped=%lld\n"
                "%s_duplicated=%lld\n%s_inserted=%lld\n%s_outage_dropped=%lld\n%s_overflow=%lld\n",
                prefix, c.bytesIn, prefix, c.bytesOut, prefix, c.lost, prefix, c.flipped, prefix,
                c.duplicated, prefix, c.inserted, prefix, c.outageDropped, prefix, c.overflow);
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!parseOptions(argc, argv, o))
        return 2;

    End ends[2] = {{"ground", o.ground}, {"air", o.air}};
    for (End &end : ends) {
        if (!openEnd(end)) {
            std::fprintf(stderr, "link-fault: cannot offer the %s end at %s: %s\n", end.name,
                         end.link.c_str(), std::strerror(errno));
            return 1;
        }
    }
    // Index 0 carries ground to air, 1 air to ground; each way has its own seeded sequence.
    FaultInjector ways[2] = {FaultInjector(o.rates, o.seed * 2), FaultInjector(o.rates, o.seed * 2 + 1)};

    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);
    std::signal(SIGUSR1, onFaults);
    std::signal(SIGPIPE, SIG_IGN);
    if (!o.onSignal)
        g_faultsOn = 1;
    std::fprintf(stderr, "link-fault: ground end %s, air end %s\n", o.ground.c_str(), o.air.c_str());

    const double start = nowSeconds();
    double faultsSince = -1;
    long outagesBegun = 0;
    bool silent = false;
    double silentUntil = 0;
    std::vector<uint8_t> out;
    uint8_t buffer[4096];

    while (!g_stop) {
        const double now = nowSeconds();
        if (o.duration > 0 && now - start >= o.duration)
            break;
        if (g_faultsOn && faultsSince < 0) {
            faultsSince = now;
            for (FaultInjector &way : ways)
                way.setEnabled(true);
            std::fprintf(stderr, "link-fault: [%.3f s] faults on\n", now - start);
        } else if (faultsSince < 0) {
            for (FaultInjector &way : ways)
                way.setEnabled(false);
        }
        if (silent && now >= silentUntil) {
            silent = false;
            std::fprintf(stderr, "link-fault: [%.3f s] outage %ld ended\n", now - start, outagesBegun);
        }
        if (!silent && faultsSince >= 0 && o.outage > 0 && (o.outages == 0 || outagesBegun < o.outages)
            && now - faultsSince >= o.outageEvery * static_cast<double>(outagesBegun + 1)) {
            silent = true;
            silentUntil = now + o.outage;
            ++outagesBegun;
            std::fprintf(stderr, "link-fault: [%.3f s] outage %ld began\n", now - start, outagesBegun);
        }

        pollfd fds[2] = {{ends[0].master, POLLIN, 0}, {ends[1].master, POLLIN, 0}};
        if (::poll(fds, 2, 20) < 0 && errno != EINTR)
            break;
        for (int from = 0; from < 2; ++from) {
            if (!(fds[from].revents & POLLIN))
                continue;
            const ssize_t n = ::read(ends[from].master, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            FaultInjector &way = ways[from];
            if (silent) {
                way.silence(static_cast<size_t>(n));
                continue;
            }
            out.clear();
            way.pass(buffer, static_cast<size_t>(n), out);
            deliver(ends[1 - from].master, out, way.counts());
        }
    }

    for (End &end : ends) {
        ::unlink(end.link.c_str());
        ::close(end.slave);
        ::close(end.master);
    }
    std::printf("seed=%llu\nfaults_on_s=%.3f\noutages=%ld\n", static_cast<unsigned long long>(o.seed),
                faultsSince < 0 ? 0.0 : nowSeconds() - faultsSince, outagesBegun);
    printCounts("ground_to_air", ways[0].counts());
    printCounts("air_to_ground", ways[1].counts());
    return 0;
}
