// Process entry: prepares the application, reads the "test" option, registers the program's
// types, hands the one EncryptorManager to QML and shows the window.
#include "app/EncryptorSettings.h"
#include "manager/EncryptorManager.h"
#include "messaging/MavlinkMetaType.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QGuiApplication>
#include <QMetaType>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QUrl>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QGuiApplication app(argc, argv);

    // No help or version option: "test" is the only one, and anything else ends with status 1.
    QCommandLineParser parser;
    QCommandLineOption testOption(QStringLiteral("test"));
    parser.addOption(testOption);
    parser.process(app);

    // Parsed messages travel between threads through queued connections.
    qRegisterMetaType<mavlink_message_t>("mavlink_message_t");
    qmlRegisterType<EncryptorSettings>("EncryptorSettings", 1, 0, "EncryptorSettings");

    QQmlApplicationEngine engine;

    // The manager reaches the application's aboutToQuit() through its parent.
    auto *manager = new EncryptorManager(&app);
    manager->setTestMode(parser.isSet(testOption));

    // Lets a test see that the option reached the manager without driving the serial links.
    if (qEnvironmentVariableIntValue("UAV_PRINT_TEST_MODE") == 1) {
        std::printf("test mode: %s\n", manager->testMode() ? "on" : "off");
        std::fflush(stdout);
    }

    engine.rootContext()->setContextProperty(QStringLiteral("encryptorManager"), manager);
    engine.load(QUrl(QStringLiteral("qrc:/qml/MainWindow.qml")));
    if (engine.rootObjects().isEmpty())
        return -1;

    return app.exec();
}
