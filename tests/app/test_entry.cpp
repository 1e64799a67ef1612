// The real program, started as a user starts it: the command line, the "test" option reaching
// the manager, and what happens when a QML module the window imports is missing.
#include <QDir>
#include <QLibraryInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

const QString kProgram = QStringLiteral(UAV_APP_BINARY);

QProcessEnvironment headless()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    env.remove(QStringLiteral("QML2_IMPORT_PATH"));
    env.remove(QStringLiteral("QML_IMPORT_PATH"));
    env.remove(QStringLiteral("UAV_PRINT_TEST_MODE"));
    return env;
}

// Copies the tree `from` into `to`, leaving out `omit` (a path relative to `from`). Files are
// hard-linked where the file system allows it. Symlinks would not do: the engine resolves
// them and then no longer matches module names to their paths.
bool copyWithout(const QString &from, const QString &to, const QString &omit)
{
    if (!QDir().mkpath(to))
        return false;
    const QString head = omit.section(QLatin1Char('/'), 0, 0);
    const QString rest = omit.section(QLatin1Char('/'), 1);
    const auto entries = QDir(from).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString &name : entries) {
        const QString source = from + QLatin1Char('/') + name;
        const QString target = to + QLatin1Char('/') + name;
        if (name == head) {
            if (!rest.isEmpty() && !copyWithout(source, target, rest))
                return false;
            continue;
        }
        const bool copied = QFileInfo(source).isDir() ? copyWithout(source, target, QString())
                                                      : ::link(QFile::encodeName(source),
                                                               QFile::encodeName(target)) == 0
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
    void unknownOptionExitsWithOne_data();
    void unknownOptionExitsWithOne();
    void testOptionReachesTheManager_data();
    void testOptionReachesTheManager();
    void missingModuleEndsWithMinusOne_data();
    void missingModuleEndsWithMinusOne();
};

void TestEntry::unknownOptionExitsWithOne_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown") << QStringList{"--bogus"};
    QTest::newRow("unknown after test") << QStringList{"--test", "--bogus"};
    // Neither is offered, so both are unknown options too.
    QTest::newRow("help") << QStringList{"--help"};
    QTest::newRow("version") << QStringList{"--version"};
    QTest::newRow("short alias") << QStringList{"-t"};
}

void TestEntry::unknownOptionExitsWithOne()
{
    QFETCH(QStringList, arguments);
    QProcess program;
    program.setProcessEnvironment(headless());
    program.start(kProgram, arguments);
    QVERIFY2(program.waitForFinished(10000), "the program kept running");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
    const QString errors = QString::fromLocal8Bit(program.readAllStandardError());
    QVERIFY2(errors.contains(QLatin1String("Unknown option")), qPrintable(errors));
}

void TestEntry::testOptionReachesTheManager_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no option") << QStringList{} << "test mode: off";
    QTest::newRow("--test") << QStringList{"--test"} << "test mode: on";
    QTest::newRow("--test twice") << QStringList{"--test", "--test"} << "test mode: on";
    QTest::newRow("positional argument") << QStringList{"test"} << "test mode: off";
}

void TestEntry::testOptionReachesTheManager()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QProcessEnvironment env = headless();
    env.insert(QStringLiteral("UAV_PRINT_TEST_MODE"), QStringLiteral("1"));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(kProgram, arguments);
    QVERIFY(program.waitForStarted());
    QVERIFY2(QTest::qWaitFor([&] { return program.canReadLine(); }, 10000),
             program.readAllStandardError().constData());
    QCOMPARE(QString::fromLatin1(program.readLine()).trimmed(), expected);
    // The window loaded and the event loop runs: the program stays up until it is closed.
    QVERIFY2(!program.waitForFinished(1500), program.readAllStandardError().constData());
    program.terminate();
    QVERIFY(program.waitForFinished(5000));
}

void TestEntry::missingModuleEndsWithMinusOne_data()
{
    QTest::addColumn<QString>("omit");
    QTest::addColumn<QString>("module");
    // Directories of the import tree; an empty one leaves the tree whole as a control.
    QTest::newRow("complete") << QString() << QString();
    QTest::newRow("QtQuick.Dialogs") << "QtQuick/Dialogs" << "QtQuick.Dialogs";
    QTest::newRow("QtQuick.Layouts") << "QtQuick/Layouts" << "QtQuick.Layouts";
    QTest::newRow("QtQuick.Controls") << "QtQuick/Controls.2" << "QtQuick.Controls";
    QTest::newRow("QtQuick") << "QtQuick.2" << "QtQuick";
}

void TestEntry::missingModuleEndsWithMinusOne()
{
    QFETCH(QString, omit);
    QFETCH(QString, module);

    // A copy of the program whose qt.conf points at a QML import tree that lacks one module.
    // The environment can only add import paths, never hide the system one.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath(QStringLiteral("uav-link-encryptor"));
    QVERIFY(QFile::copy(kProgram, program));
    QVERIFY(QFile::setPermissions(program, QFile::permissions(kProgram)));
    const QString imports = dir.filePath(QStringLiteral("qml"));
    QVERIFY(copyWithout(QLibraryInfo::location(QLibraryInfo::Qml2ImportsPath), imports, omit));
    QFile conf(dir.filePath(QStringLiteral("qt.conf")));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write(QStringLiteral("[Paths]\nPlugins=%1\nQml2Imports=%2\n")
                   .arg(QLibraryInfo::location(QLibraryInfo::PluginsPath), imports)
                   .toUtf8());
    conf.close();

    QProcessEnvironment env = headless();
    env.insert(QStringLiteral("UAV_PRINT_TEST_MODE"), QStringLiteral("1"));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, QStringList());
    QVERIFY(process.waitForStarted());

    if (module.isEmpty()) {
        QVERIFY2(!process.waitForFinished(1500), process.readAllStandardError().constData());
        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        return;
    }
    QVERIFY2(process.waitForFinished(10000), "the event loop ran");
    const QString errors = QString::fromLocal8Bit(process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 255); // -1 as the shell sees it
    // Start-up got as far as loading the window, and the load failed on that module
    // ("is not installed", or "cannot be loaded" when another major version is present).
    QCOMPARE(QString::fromLatin1(process.readAllStandardOutput()).trimmed(),
             QStringLiteral("test mode: off"));
    QVERIFY2(errors.contains(QStringLiteral("module \"%1\"").arg(module)),
             qPrintable(errors));
}

QTEST_GUILESS_MAIN(TestEntry)
#include "test_entry.moc"
