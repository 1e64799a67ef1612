// The real program, started as a user starts it: the command line, the "test" option reaching
// the manager, and what happens when a QML module the window imports is missing.
#include <QLibraryInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <unistd.h>

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

// Copies the tree `from` into `to`, leaving out `omit` (a path relative to `from`). Files are
// hard-linked where the file system allows it. Symlinks would not do: the engine resolves
// them and then no longer matches module names to their paths.
bool copyWithout(const QString &from, const QString &to, const QString &omit)
{
    if (!QDir().mkpath(to))
        return false;
    const QString head = omit.section('/', 0, 0);
    const QString rest = omit.section('/', 1);
    for (const QString &name : QDir(from).entryList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        const QString source = from + '/' + name;
        const QString target = to + '/' + name;
        const bool copied =
            name == head ? rest.isEmpty() || copyWithout(source, target, rest)
            : QFileInfo(source).isDir()
                ? copyWithout(source, target, QString())
                : ::link(QFile::encodeName(source), QFile::encodeName(target)) == 0
                      || QFile::copy(source, target);
        if (!copied)
            return false;
    }
    return true;
}

} // namespace

class TestEntry : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("testMode"); // empty: an unknown option, exit status 1
        QTest::newRow("no option") << QStringList{} << "off";
        QTest::newRow("--test") << QStringList{"--test"} << "on";
        QTest::newRow("positional argument") << QStringList{"test"} << "off";
        QTest::newRow("unknown") << QStringList{"--bogus"} << "";
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, testMode);
        auto program = start(kProgram, arguments);
        if (testMode.isEmpty()) {
            QVERIFY2(program->waitForFinished(10000), "the program kept running");
            QCOMPARE(program->exitStatus(), QProcess::NormalExit);
            QCOMPARE(program->exitCode(), 1);
            const QString errors = QString::fromLocal8Bit(program->readAllStandardError());
            QVERIFY2(errors.contains("Unknown option"), qPrintable(errors));
            return;
        }
        QVERIFY2(QTest::qWaitFor([&] { return program->canReadLine(); }, 10000),
                 program->readAllStandardError().constData());
        QCOMPARE(QString::fromLatin1(program->readLine()).trimmed(), "test mode: " + testMode);
        QVERIFY2(staysUp(*program), program->readAllStandardError().constData());
    }

    void missingModuleEndsWithMinusOne_data()
    {
        QTest::addColumn<QString>("omit");
        QTest::addColumn<QString>("module");
        // Directories of the import tree; an empty one leaves the tree whole as a control.
        QTest::newRow("complete") << QString() << QString();
        QTest::newRow("QtQuick.Dialogs") << "QtQuick/Dialogs" << "QtQuick.Dialogs";
        QTest::newRow("QtQuick") << "QtQuick.2" << "QtQuick";
    }
    void missingModuleEndsWithMinusOne()
    {
        QFETCH(QString, omit);
        QFETCH(QString, module);
        // A copy of the program whose qt.conf points at a QML import tree that lacks one
        // module. The environment can only add import paths, never hide the system one.
        QTemporaryDir dir;
        const QString program = dir.filePath("uav-link-encryptor");
        QVERIFY(QFile::copy(kProgram, program));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(kProgram)));
        QVERIFY(copyWithout(QLibraryInfo::location(QLibraryInfo::Qml2ImportsPath),
                            dir.filePath("qml"), omit));
        QFile conf(dir.filePath("qt.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write(QString("[Paths]\nPlugins=%1\nQml2Imports=%2\n")
                       .arg(QLibraryInfo::location(QLibraryInfo::PluginsPath), dir.filePath("qml"))
                       .toUtf8());
        conf.close();

        auto process = start(program, {});
        if (module.isEmpty()) {
            QVERIFY2(staysUp(*process), process->readAllStandardError().constData());
            return;
        }
        QVERIFY2(process->waitForFinished(10000), "the event loop ran");
        const QString errors = QString::fromLocal8Bit(process->readAllStandardError());
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), 255); // -1 as the shell sees it
        // Start-up got as far as loading the window, and the load failed on that module
        // ("is not installed", or "cannot be loaded" when another major version is present).
        // The loader resolves imports in a thread of its own: when a Controls plugin that
        // registers part of QtQuick wins the race, the failure names one of its types instead.
        QCOMPARE(QString::fromLatin1(process->readAllStandardOutput()).trimmed(),
                 QStringLiteral("test mode: off"));
        QVERIFY2(errors.contains(QString("module \"%1\"").arg(module))
                     || (module == "QtQuick" && errors.contains(" is not a type")),
                 qPrintable(errors));
    }
};

QTEST_GUILESS_MAIN(TestEntry)
#include "test_entry.moc"
