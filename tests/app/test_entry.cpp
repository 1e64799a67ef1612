// The real program, started as a user starts it: the command line, the "test" option reaching
// the manager, and what happens when the window cannot load.
#include <QLibraryInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString kProgram = QStringLiteral(UAV_APP_BINARY);

// Headless, with the system's QML imports only; the program prints its test mode on start.
std::unique_ptr<QProcess> start(const QString &program, const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QT_QUICK_BACKEND", "software");
    env.insert("UAV_PRINT_TEST_MODE", "1");
    env.remove("QML2_IMPORT_PATH");
    env.remove("QML_IMPORT_PATH");
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(env);
    process->start(program, arguments);
    return process;
}

// The window loaded and the event loop runs: the program stays up until it is ended.
bool staysUp(QProcess &process)
{
    const bool up = !process.waitForFinished(1500);
    process.terminate();
    return process.waitForFinished(5000) && up;
}

} // namespace

class TestEntry : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("testMode");
        QTest::newRow("no option") << QStringList{} << "off";
        QTest::newRow("--test") << QStringList{"--test"} << "on";
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, testMode);
        auto program = start(kProgram, arguments);
        QVERIFY2(QTest::qWaitFor([&] { return program->canReadLine(); }, 10000),
                 program->readAllStandardError().constData());
        QCOMPARE(QString::fromLatin1(program->readLine()).trimmed(), "test mode: " + testMode);
        QVERIFY2(staysUp(*program), program->readAllStandardError().constData());
    }

    // A window that does not load ends the program with -1: here a copy of the program whose
    // qt.conf points at an empty QML import tree (the environment can only add import paths).
    void windowThatDoesNotLoadEndsWithMinusOne()
    {
        QTemporaryDir dir;
        const QString program = dir.filePath("uav-link-encryptor");
        QVERIFY(QFile::copy(kProgram, program));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(kProgram)));
        QVERIFY(QDir().mkpath(dir.filePath("qml")));
        QFile conf(dir.filePath("qt.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write(QString("[Paths]\nPlugins=%1\nQml2Imports=%2\n")
                       .arg(QLibraryInfo::location(QLibraryInfo::PluginsPath), dir.filePath("qml"))
                       .toUtf8());
        conf.close();

        auto process = start(program, {});
        QVERIFY2(process->waitForFinished(10000), "the event loop ran");
        const QString errors = QString::fromLocal8Bit(process->readAllStandardError());
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), 255); // -1 as the shell sees it
        // The loader resolves imports in a thread of its own: when a Controls plugin that
        // registers part of QtQuick wins the race, the failure names one of its types instead.
        QVERIFY2(errors.contains("module \"QtQuick") || errors.contains(" is not a type"),
                 qPrintable(errors));
    }
};

QTEST_GUILESS_MAIN(TestEntry)
#include "test_entry.moc"
