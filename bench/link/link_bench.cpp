// The ground-control end of the link benchmark: timestamps MAVLink through the running relay
// and uav-sim --bench (tools/sim/BenchResponder.h has the message protocol), measures a bare
// pseudo-terminal pair the same way for comparison, and reads the relay's CPU time from /proc.
// bench/link/run starts everything around it.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "messaging/LinkFrame.h"
#include "messaging/mavlink/Mavlink.h"

namespace {

constexpr uint32_t kHeartbeat = 0;
constexpr uint32_t kTimesync = 111;
constexpr uint32_t kCommandLong = 76;
constexpr uint16_t kStartStream = 31010;
constexpr uint16_t kReport = 31011;
// Every benchmark message is a 28-byte frame; on the modem link it is a record of this size.
constexpr int kFrameBytes = 28;
constexpr int kRecordBytes = kFrameBytes + kLinkFrameOverhead;

long long nowNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

[[noreturn]] void die(const std::string &why)
{
    std::fprintf(stderr, "link_bench: %s\n", why.c_str());
    std::exit(1);
}

int openRaw(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        die("cannot open " + path + ": " + std::strerror(errno));
    termios t{};
    if (::tcgetattr(fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// Writes everything, waiting for room; the benchmark never drops its own bytes.
void writeAll(int fd, const uint8_t *data, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n > 0) {
            data += n;
            length -= size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            die(std::string("write: ") + std::strerror(errno));
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
    }
}

uint8_t sequence = 0;

size_t buildFrame(uint32_t msgid, const uint8_t *payload, uint8_t length, uint8_t *out)
{
    out[0] = MAVLINK_STX;
    out[1] = length;
    out[2] = out[3] = 0;
    out[4] = sequence++;
    out[5] = 255;  // a ground-control station's usual ids
    out[6] = 190;
    out[7] = uint8_t(msgid);
    out[8] = uint8_t(msgid >> 8);
    out[9] = uint8_t(msgid >> 16);
    std::memcpy(out + 10, payload, length);
    uint16_t crc = crc_calculate(out + 1, 9u + length);
    crc_accumulate(mavlink_get_msg_entry(msgid)->crc_extra, &crc);
    out[10 + length] = uint8_t(crc);
    out[11 + length] = uint8_t(crc >> 8);
    return 12u + length;
}

void sendTimesync(int fd, int64_t tc1, int64_t ts1)
{
    uint8_t payload[16], frame[32];
    std::memcpy(payload, &tc1, 8);
    std::memcpy(payload + 8, &ts1, 8);
    writeAll(fd, frame, buildFrame(kTimesync, payload, 16, frame));
}

void sendCommand(int fd, uint16_t command, float p1 = 0, float p2 = 0)
{
    uint8_t payload[33] = {};
    std::memcpy(payload, &p1, 4);
    std::memcpy(payload + 4, &p2, 4);
    std::memcpy(payload + 28, &command, 2);
    payload[30] = 1;  // the aircraft
    payload[31] = 1;
    uint8_t frame[48];
    writeAll(fd, frame, buildFrame(kCommandLong, payload, 33, frame));
}

int64_t i64At(const mavlink_message_t &m, int offset)
{
    int64_t v;
    std::memcpy(&v, mavlink_payload(&m) + offset, 8);
    return v;
}

float floatAt(const mavlink_message_t &m, int offset)
{
    float v;
    std::memcpy(&v, mavlink_payload(&m) + offset, 4);
    return v;
}

// Parses what one port has, calling handle(message, arrivalNs) for each complete message.
template<typename Handle>
void drain(int fd, uint8_t channel, mavlink_message_t &message, Handle &&handle)
{
    uint8_t buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                die(std::string("read: ") + std::strerror(errno));
            return;
        }
        const long long t = nowNs();
        for (ssize_t i = 0; i < n; ++i)
            if (mavlink_parse_char(channel, buffer[i], &message) == MAVLINK_FRAMING_OK)
                handle(message, t);
    }
}

// poll() with a nanosecond timeout, so that waiting for the next send time never spins.
void waitReadable(pollfd *fds, nfds_t count, long long ns)
{
    ns = std::clamp(ns, 0LL, 50000000LL);
    const timespec timeout{0, long(ns)};
    ::ppoll(fds, count, &timeout, nullptr);
}

struct Percentiles {
    double p50 = NAN, p99 = NAN;
};

Percentiles percentiles(std::vector<double> v)
{
    Percentiles p;
    if (v.empty())
        return p;
    std::sort(v.begin(), v.end());
    auto at = [&v](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    p.p50 = at(0.50);
    p.p99 = at(0.99);
    return p;
}

// On-CPU time of every thread of the process, in nanoseconds from the scheduler's own
// accounting: the clock-tick figures of /proc/PID/stat cannot resolve an idle process.
double cpuSeconds(int pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = ::opendir(tasks.c_str());
    if (!dir)
        die("cannot read " + tasks);
    long long ns = 0;
    while (const dirent *task = ::readdir(dir)) {
        if (task->d_name[0] == '.')
            continue;
        std::ifstream in(tasks + "/" + task->d_name + "/schedstat");
        long long onCpu = 0;
        if (in >> onCpu)
            ns += onCpu;
    }
    ::closedir(dir);
    return double(ns) / 1e9;
}

struct Options {
    std::string gcs, bareA, bareB, json;
    int relayPid = 0;
    double lineRate = 46080;
    double latencySeconds = 20, lineSeconds = 30, idleSeconds = 10;
    long capacityMessages = 60000;
};

// A bare pseudo-terminal pair probed beside the relay, 20 messages a second each way, so that
// both see the same machine: what the relay adds is the difference.
struct BarePair {
    int a = -1, b = -1;
    bool active = false;
    long long next = 0;
    std::vector<uint8_t> atA, atB;
    std::vector<double> aToB, bToA;

    void send(long long now)
    {
        if (!active || now < next)
            return;
        sendTimesync(a, 0, nowNs());
        sendTimesync(b, 0, nowNs());
        next += 50000000LL;
    }
    // Only our own 28-byte frames travel here, whole and in order.
    static void take(int fd, std::vector<uint8_t> &buffer, std::vector<double> &out)
    {
        uint8_t chunk[4096];
        for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) {
            const long long t = nowNs();
            buffer.insert(buffer.end(), chunk, chunk + n);
            size_t at = 0;
            for (; buffer.size() - at >= size_t(kFrameBytes); at += kFrameBytes) {
                int64_t sent;
                std::memcpy(&sent, buffer.data() + at + 18, 8);
                out.push_back(double(t - sent) / 1e6);
            }
            buffer.erase(buffer.begin(), buffer.begin() + long(at));
        }
    }
    void receive()
    {
        if (a < 0)
            return;
        take(b, atB, aToB);
        take(a, atA, bToA);
    }
};

struct Link {
    int fd = -1;
    mavlink_message_t message{};
    std::vector<double> up, down, streamDown;
    long probesSent = 0, probesAnswered = 0, streamReceived = 0, heartbeats = 0;
    long long streamFirstSentNs = 0, streamLastNs = 0;
    bool reportIn = false;
    float report[3] = {};
    BarePair *bare = nullptr;

    void take(const mavlink_message_t &m, long long t)
    {
        if (m.msgid == kHeartbeat) {
            ++heartbeats;
        } else if (m.msgid == kTimesync) {
            const int64_t tc1 = i64At(m, 0), ts1 = i64At(m, 8);
            if (ts1 > 0) {
                ++probesAnswered;
                up.push_back(double(tc1 - ts1) / 1e6);
                down.push_back(double(t - tc1) / 1e6);
            } else if (ts1 < 0) {
                if (streamReceived++ == 0)
                    streamFirstSentNs = tc1;
                streamLastNs = t;
                streamDown.push_back(double(t - tc1) / 1e6);
            }
        } else if (m.msgid == kCommandLong) {
            for (int i = 0; i < 3; ++i)
                report[i] = floatAt(m, 4 * i);
            reportIn = true;
        }
    }
    // Reads until the deadline; probes every probeNs (0: none); stops early when done() holds.
    template<typename Done>
    void run(long long untilNs, long long probeNs, Done &&done)
    {
        long long next = nowNs();
        while (nowNs() < untilNs && !done()) {
            if (probeNs > 0 && nowNs() >= next) {
                sendTimesync(fd, 0, nowNs());
                ++probesSent;
                next += probeNs;
            }
            if (bare)
                bare->send(nowNs());
            long long wait = probeNs > 0 ? next - nowNs() : untilNs - nowNs();
            if (bare && bare->active)
                wait = std::min(wait, bare->next - nowNs());
            pollfd p[3] = {{fd, POLLIN, 0}, {bare ? bare->a : -1, POLLIN, 0}, {bare ? bare->b : -1, POLLIN, 0}};
            waitReadable(p, 3, wait);
            drain(fd, 0, message, [this](const mavlink_message_t &m, long long t) { take(m, t); });
            if (bare)
                bare->receive();
        }
    }
    void run(long long untilNs, long long probeNs = 0)
    {
        run(untilNs, probeNs, [] { return false; });
    }
    void clear()
    {
        up.clear();
        down.clear();
        streamDown.clear();
        probesSent = probesAnswered = streamReceived = 0;
        reportIn = false;
    }
};

long long secondsFromNow(double s)
{
    return nowNs() + (long long)(s * 1e9);
}

std::string number(double v, int decimals = 3)
{
    if (std::isnan(v))
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                die(a + " needs a value");
            return argv[++i];
        };
        if (a == "--gcs") o.gcs = value();
        else if (a == "--bare") { o.bareA = value(); o.bareB = value(); }
        else if (a == "--relay-pid") o.relayPid = std::atoi(value().c_str());
        else if (a == "--json") o.json = value();
        else if (a == "--quick") { o.latencySeconds = 3; o.lineSeconds = 5; o.idleSeconds = 3; o.capacityMessages = 5000; }
        else die("unknown option " + a + " (--gcs PATH --bare A B --relay-pid PID [--json FILE] [--quick])");
    }
    if (o.gcs.empty() || o.bareA.empty() || o.relayPid <= 0)
        die("--gcs, --bare and --relay-pid are required");

    // Opened first: the relay writes to its ground-control port only while someone holds it.
    Link link;
    link.fd = openRaw(o.gcs);

    BarePair bare;
    bare.a = openRaw(o.bareA);
    bare.b = openRaw(o.bareB);
    link.bare = &bare;

    std::printf("waiting for the link: probes every 0.5 s until the aircraft answers\n");
    std::fflush(stdout);
    // The relay drops what the ground sends before the link is up, so probe until one comes back.
    link.run(secondsFromNow(90), 500000000LL, [&] { return link.probesAnswered > 0; });
    if (link.probesAnswered == 0)
        die("no answer from the aircraft through the relay within 90 s");
    link.run(secondsFromNow(0.5));

    std::printf("latency: %.0f s at 20 messages/s each way, a bare pty pair probed alongside\n",
                o.latencySeconds);
    std::fflush(stdout);
    link.clear();
    bare.active = true;
    bare.next = nowNs() + 25000000LL;  // between the relay's probes
    link.run(secondsFromNow(o.latencySeconds), 50000000LL);
    bare.active = false;
    link.run(secondsFromNow(2), 0, [&] { return link.probesAnswered == link.probesSent; });
    const Percentiles up = percentiles(link.up), down = percentiles(link.down);
    const Percentiles bUp = percentiles(bare.aToB), bDown = percentiles(bare.bToA);
    const long latencyLost = link.probesSent - link.probesAnswered;

    std::printf("line rate: telemetry at %.0f B/s of records for %.0f s, 10 messages/s up\n",
                o.lineRate, o.lineSeconds);
    std::fflush(stdout);
    link.clear();
    const long streamCount = long(o.lineRate * o.lineSeconds / kRecordBytes);
    const double cpu0 = cpuSeconds(o.relayPid);
    const long long t0 = nowNs();
    sendCommand(link.fd, kStartStream, float(o.lineRate), float(streamCount));
    link.run(secondsFromNow(o.lineSeconds), 100000000LL);
    const double lineCpu = (cpuSeconds(o.relayPid) - cpu0) / (double(nowNs() - t0) / 1e9);
    link.run(secondsFromNow(5), 0,
             [&] { return link.streamReceived >= streamCount && link.probesAnswered == link.probesSent; });
    const long lineLost = (streamCount - link.streamReceived) + (link.probesSent - link.probesAnswered);
    const Percentiles lineDown = percentiles(link.streamDown), lineUp = percentiles(link.up);

    std::printf("capacity down: %ld messages as fast as the aircraft's line takes them\n",
                o.capacityMessages);
    std::fflush(stdout);
    link.clear();
    sendCommand(link.fd, kStartStream, 0, float(o.capacityMessages));
    link.run(secondsFromNow(60), 0, [&] { return link.streamReceived >= o.capacityMessages; });
    link.run(secondsFromNow(1));
    const long downLost = o.capacityMessages - link.streamReceived;
    const double downSeconds = double(link.streamLastNs - link.streamFirstSentNs) / 1e9;
    const double downCapacity = double(link.streamReceived) * kRecordBytes / downSeconds / o.lineRate;

    std::printf("capacity up: %ld messages as fast as the ground-control port takes them\n",
                o.capacityMessages);
    std::fflush(stdout);
    link.clear();
    {
        // Written 64 messages at a time, as a ground-control program flushing its queue would.
        std::vector<uint8_t> batch;
        for (long i = 0; i < o.capacityMessages; ++i) {
            uint8_t payload[16], frame[32];
            const int64_t tc1 = -1, ts1 = nowNs();
            std::memcpy(payload, &tc1, 8);
            std::memcpy(payload + 8, &ts1, 8);
            const size_t n = buildFrame(kTimesync, payload, 16, frame);
            batch.insert(batch.end(), frame, frame + n);
            if (batch.size() >= 64 * n || i + 1 == o.capacityMessages) {
                writeAll(link.fd, batch.data(), batch.size());
                batch.clear();
                drain(link.fd, 0, link.message, [&](const mavlink_message_t &m, long long t) { link.take(m, t); });
            }
        }
    }
    // The report goes behind the bulk, so it arrives after the last bulk message.
    link.run(secondsFromNow(1));
    sendCommand(link.fd, kReport);
    link.run(secondsFromNow(60), 0, [&] { return link.reportIn; });
    if (!link.reportIn)
        die("no report from the aircraft");
    const long upLost = o.capacityMessages - long(link.report[0]);
    const double upSeconds = double(link.report[1]) / 1e6;
    const double upCapacity = double(link.report[0]) * kRecordBytes / upSeconds / o.lineRate;

    std::printf("idle: %.0f s\n", o.idleSeconds);
    std::fflush(stdout);
    link.run(secondsFromNow(1));
    const double idle0 = cpuSeconds(o.relayPid);
    const long long i0 = nowNs();
    link.run(secondsFromNow(o.idleSeconds));
    const double idleCpu = (cpuSeconds(o.relayPid) - idle0) / (double(nowNs() - i0) / 1e9);

    const double addUp50 = up.p50 - bUp.p50, addUp99 = up.p99 - bUp.p99;
    const double addDown50 = down.p50 - bDown.p50, addDown99 = down.p99 - bDown.p99;
    const long lost = latencyLost + lineLost + downLost + upLost;
    std::printf("\n== link benchmark (test mode, line rate %.0f B/s of records)\n", o.lineRate);
    std::printf("one-way latency at 20 msg/s, ms    p50      p99\n");
    std::printf("  bare pty pair, one way         %7.3f  %7.3f\n", bUp.p50, bUp.p99);
    std::printf("  bare pty pair, the other way   %7.3f  %7.3f\n", bDown.p50, bDown.p99);
    std::printf("  ground -> aircraft via relay   %7.3f  %7.3f   added %6.3f / %6.3f\n", up.p50, up.p99, addUp50, addUp99);
    std::printf("  aircraft -> ground via relay   %7.3f  %7.3f   added %6.3f / %6.3f\n", down.p50, down.p99, addDown50, addDown99);
    std::printf("at line rate: aircraft -> ground p50 %.3f ms, p99 %.3f ms; ground -> aircraft p50 %.3f ms, p99 %.3f ms\n",
                lineDown.p50, lineDown.p99, lineUp.p50, lineUp.p99);
    std::printf("capacity (x line rate): aircraft -> ground %.1f, ground -> aircraft %.1f\n", downCapacity, upCapacity);
    std::printf("relay CPU (%% of one core): at line rate %.2f, idle %.2f\n", 100 * lineCpu, 100 * idleCpu);
    std::printf("messages lost: %ld (latency %ld, line rate %ld, capacity down %ld, up %ld)\n",
                lost, latencyLost, lineLost, downLost, upLost);

    if (!o.json.empty()) {
        std::ofstream out(o.json);
        out << "{\n"
            << "  \"line_rate_bytes_per_s\": " << number(o.lineRate, 0) << ",\n"
            << "  \"bare_pty_ms\": {\"p50\": " << number(bUp.p50) << ", \"p99\": " << number(bUp.p99)
            << ", \"other_way_p50\": " << number(bDown.p50) << ", \"other_way_p99\": " << number(bDown.p99) << "},\n"
            << "  \"ground_to_aircraft_ms\": {\"p50\": " << number(up.p50) << ", \"p99\": " << number(up.p99)
            << ", \"added_p50\": " << number(addUp50) << ", \"added_p99\": " << number(addUp99) << "},\n"
            << "  \"aircraft_to_ground_ms\": {\"p50\": " << number(down.p50) << ", \"p99\": " << number(down.p99)
            << ", \"added_p50\": " << number(addDown50) << ", \"added_p99\": " << number(addDown99) << "},\n"
            << "  \"line_rate_latency_ms\": {\"aircraft_to_ground_p50\": " << number(lineDown.p50)
            << ", \"aircraft_to_ground_p99\": " << number(lineDown.p99)
            << ", \"ground_to_aircraft_p50\": " << number(lineUp.p50)
            << ", \"ground_to_aircraft_p99\": " << number(lineUp.p99) << "},\n"
            << "  \"capacity_x_line_rate\": {\"aircraft_to_ground\": " << number(downCapacity, 2)
            << ", \"ground_to_aircraft\": " << number(upCapacity, 2) << "},\n"
            << "  \"relay_cpu_percent\": {\"line_rate\": " << number(100 * lineCpu, 2)
            << ", \"idle\": " << number(100 * idleCpu, 2) << "},\n"
            << "  \"messages_lost\": {\"total\": " << lost << ", \"latency\": " << latencyLost
            << ", \"line_rate\": " << lineLost << ", \"capacity_down\": " << downLost
            << ", \"capacity_up\": " << upLost << "}\n"
            << "}\n";
    }
    return lost == 0 ? 0 : 2;
}
