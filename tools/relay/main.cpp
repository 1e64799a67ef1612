// The relay without a window: the same manager, driven from the command line, for ground
// stations with no display and for the end-to-end tests.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include "crypto/SelfTest.h"
#include "manager/EncryptorManager.h"
#include "messaging/MavlinkMetaType.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    // Nothing else is async-signal-safe here; the event loop does the rest.
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

bool showDebug = false;

void messageFilter(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg && !showDebug)
        return;
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
}

void printLine(FILE *stream, const QString &text)
{
    std::fprintf(stream, "%s\n", text.toUtf8().constData());
    std::fflush(stream);
}

// One line per primitive; 0 when all passed.
int runSelfTestCommand()
{
    SelfTestResult results[kSelfTestCount];
    const bool passed = runSelfTests(results);
    for (const SelfTestResult &result : results)
        std::printf("%-13s %s\n", result.name, result.passed ? "ok" : "FAILED");
    std::fflush(stdout);
    return passed ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("uav-link-relay"));
    QCoreApplication::setApplicationVersion(QStringLiteral(UAV_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Protects the MAVLink link between a ground-control program and a radio modem."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption outputOption(QStringLiteral("output"),
        QStringLiteral("Serial port of the radio modem."), QStringLiteral("port"));
    const QCommandLineOption internalOption(QStringLiteral("internal"),
        QStringLiteral("Serial port toward the ground-control program. Without it a virtual "
                       "port is offered."), QStringLiteral("port"));
    const QCommandLineOption testOption(QStringLiteral("test"),
        QStringLiteral("Higher baud rates on both links."));
    const QCommandLineOption debugOption(QStringLiteral("debug"),
        QStringLiteral("Show the debug log (port speeds, smart-card errors) on standard error."));
    const QCommandLineOption statsOption(QStringLiteral("stats"),
        QStringLiteral("Every SECONDS one JSON object of link counters on a line of standard "
                       "output, and a last one at exit."), QStringLiteral("SECONDS"));
    const QCommandLineOption selfTestOption(QStringLiteral("self-test"),
        QStringLiteral("Run the known-answer tests of the cryptography, one line each, and exit "
                       "(status 1 when one fails)."));
    parser.addOptions(
        {outputOption, internalOption, testOption, debugOption, statsOption, selfTestOption});
    parser.process(app);

    if (parser.isSet(selfTestOption))
        return runSelfTestCommand();

    if (!parser.isSet(outputOption)) {
        printLine(stderr, QStringLiteral("uav-link-relay: --output PORT is required (see --help)"));
        return 1;
    }
    bool statsValid = true;
    const int statsSeconds =
        parser.isSet(statsOption) ? parser.value(statsOption).toInt(&statsValid) : 0;
    if (parser.isSet(statsOption) && (!statsValid || statsSeconds < 1 || statsSeconds > 86400)) {
        printLine(stderr, QStringLiteral("uav-link-relay: --stats takes whole seconds, 1 to 86400"));
        return 1;
    }
    showDebug = parser.isSet(debugOption);
    qInstallMessageHandler(messageFilter);

    qRegisterMetaType<mavlink_message_t>("mavlink_message_t");

    auto *manager = new EncryptorManager(&app);
    manager->setTestMode(parser.isSet(testOption));

    bool failed = false;
    // Every error ends the relay with status 1: at the start (a port) right after initialize,
    // later (a failed self-test, no random generator) through the event loop.
    QObject::connect(manager, &EncryptorManager::error, [&failed, &app](const QString &err) {
        failed = true;
        printLine(stderr, err);
        app.exit(1);
    });
    QObject::connect(manager, &EncryptorManager::notification, [](const QString &message) {
        // An empty text only clears the window's status line.
        if (!message.isEmpty())
            printLine(stdout, message);
    });
    QObject::connect(manager, &EncryptorManager::portLost, [](const QString &port) {
        printLine(stdout, QStringLiteral("Port %1 lost; trying to open it again every second").arg(port));
    });
    QObject::connect(manager, &EncryptorManager::portRestored, [](const QString &port) {
        printLine(stdout, QStringLiteral("Port %1 is back; relaying continues").arg(port));
    });
    QObject::connect(manager, &EncryptorManager::netIdChanged, [](int netId) {
        printLine(stdout, QStringLiteral("Net ID: %1").arg(netId));
    });

    LinkHealth *health = manager->linkHealth();
    const auto printStats = [statsSeconds, health] {
        if (statsSeconds == 0)
            return;
        health->refresh();
        printLine(stdout, QString::fromLatin1(health->statsJson()));
    };
    QTimer statsTimer;
    QObject::connect(&statsTimer, &QTimer::timeout, printStats);
    if (statsSeconds > 0)
        statsTimer.start(statsSeconds * 1000);

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        std::perror("uav-link-relay: socketpair");
        return 1;
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&app, manager, printStats] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &byte, 1);
        manager->deinitialize();
        printStats();
        app.exit(0);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const QString internalPort = parser.value(internalOption);
    QString externalPort;
    if (internalPort.isEmpty()) {
        externalPort = manager->virtualPortPath();
        printLine(stdout, QStringLiteral("Ground-control port: %1").arg(externalPort));
    }
    manager->initialize(internalPort, externalPort, parser.value(outputOption));
    if (failed) {
        printStats();
        return 1;
    }
    return app.exec();
}
