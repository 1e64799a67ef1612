// The settings view-model: what the window's bindings rely on (notify signals, one emission per
// real change, the order of update()'s signals) and how a key file URL becomes a path.
#include "app/EncryptorSettings.h"

#include <QSerialPortInfo>
#include <QtTest>

#include <utility>

namespace {

using ChangeSignal = void (EncryptorSettings::*)();

const std::pair<const char *, ChangeSignal> kChangeSignals[] = {
    {"keyFilenameChanged", &EncryptorSettings::keyFilenameChanged},
    {"outputPortChanged", &EncryptorSettings::outputPortChanged},
    {"internalPortChanged", &EncryptorSettings::internalPortChanged},
    {"externalPortChanged", &EncryptorSettings::externalPortChanged},
    {"uavKeyFilenameChanged", &EncryptorSettings::uavKeyFilenameChanged},
    {"outputPortListChanged", &EncryptorSettings::outputPortListChanged},
};

// Every change signal of one instance, by name, in the order of emission.
class SignalLog
{
public:
    explicit SignalLog(EncryptorSettings *settings)
    {
        for (const auto &[name, signal] : kChangeSignals) {
            const char *recorded = name;
            QObject::connect(settings, signal, [this, recorded] { m_log.append(recorded); });
        }
    }
    QStringList take() { return std::exchange(m_log, {}); }

private:
    QStringList m_log;
};

const char *const kStoredProperties[] = {"outputPort", "internalPort", "externalPort",
                                         "keyFilename", "uavKeyFilename"};

} // namespace

class TestEncryptorSettings : public QObject
{
    Q_OBJECT

private slots:
    void freshInstanceIsEmpty();
    void settersEmitOncePerRealChange_data();
    void settersEmitOncePerRealChange();
    void keyFilenameStoresTheDecodedPath_data();
    void keyFilenameStoresTheDecodedPath();
    void keyFilenameWrittenDifferentlyIsNoChange_data();
    void keyFilenameWrittenDifferentlyIsNoChange();
    void uavKeyFilenameIsStoredAsGiven();
    void updateEmitsItsThreeSignalsInOrder();
    void portListIsTheSystemLocations();
};

void TestEncryptorSettings::freshInstanceIsEmpty()
{
    // Nothing is persisted: a second instance must not see the first one's choices either.
    EncryptorSettings first;
    first.setOutputPort(QStringLiteral("/dev/ttyUSB0"));
    first.setKeyFilename(QStringLiteral("/tmp/k.key"));
    EncryptorSettings fresh;
    for (const char *name : kStoredProperties) {
        const QVariant value = fresh.property(name);
        QVERIFY2(value.isValid(), name);
        QCOMPARE(value.toString(), QString());
    }
}

void TestEncryptorSettings::settersEmitOncePerRealChange_data()
{
    QTest::addColumn<QString>("property");
    QTest::addColumn<QString>("signal");
    QTest::newRow("outputPort") << "outputPort" << "outputPortChanged";
    QTest::newRow("internalPort") << "internalPort" << "internalPortChanged";
    QTest::newRow("externalPort") << "externalPort" << "externalPortChanged";
    QTest::newRow("keyFilename") << "keyFilename" << "keyFilenameChanged";
    QTest::newRow("uavKeyFilename") << "uavKeyFilename" << "uavKeyFilenameChanged";
}

void TestEncryptorSettings::settersEmitOncePerRealChange()
{
    QFETCH(QString, property);
    QFETCH(QString, signal);
    const QByteArray name = property.toLatin1();
    EncryptorSettings settings;
    SignalLog log(&settings);

    // Written the way QML writes it, through the property system.
    const struct {
        QString value;
        bool changes;
    } steps[] = {
        {QString(), false},
        {QStringLiteral("/dev/ttyUSB0"), true},
        {QStringLiteral("/dev/ttyUSB0"), false},
        {QStringLiteral("/dev/ttyUSB1"), true},
        {QStringLiteral("/dev/ttyUSB1"), false},
        {QString(), true},
        {QString(), false},
    };
    for (const auto &step : steps) {
        QVERIFY(settings.setProperty(name, step.value));
        QCOMPARE(settings.property(name).toString(), step.value);
        QCOMPARE(log.take(), step.changes ? QStringList{signal} : QStringList{});
    }
}

void TestEncryptorSettings::keyFilenameStoresTheDecodedPath_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("stored");
    // What a file dialog hands over, and paths typed by hand.
    QTest::newRow("file URL") << "file:///home/operator/keys/gcs.key"
                              << "/home/operator/keys/gcs.key";
    QTest::newRow("percent escapes")
        << "file:///tmp/my%20keys/%D0%BA%D0%BB%D1%8E%D1%87.bin"
        << QStringLiteral("/tmp/my keys/ключ.bin");
    QTest::newRow("plain path") << "/var/lib/keys/uav.key" << "/var/lib/keys/uav.key";
    QTest::newRow("escapes in a plain path") << "/tmp/a%20b%25c.key" << "/tmp/a b%c.key";
    // The path of the URL, not a local file name: the host and any query are dropped.
    QTest::newRow("URL with a host") << "file://server/share/k.key" << "/share/k.key";
    QTest::newRow("drive letter") << "file:///C:/keys/k.key" << "/C:/keys/k.key";
    QTest::newRow("query dropped") << "file:///tmp/k.key?x=1" << "/tmp/k.key";
}

void TestEncryptorSettings::keyFilenameStoresTheDecodedPath()
{
    QFETCH(QString, given);
    QFETCH(QString, stored);
    EncryptorSettings settings;
    SignalLog log(&settings);
    settings.setKeyFilename(given);
    QCOMPARE(settings.keyFilename(), stored);
    QCOMPARE(log.take(), QStringList{QStringLiteral("keyFilenameChanged")});
    settings.setKeyFilename(given);
    QCOMPARE(log.take(), QStringList{});
}

void TestEncryptorSettings::keyFilenameWrittenDifferentlyIsNoChange_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QStringList>("sameFile");
    QTest::newRow("space") << "file:///tmp/a%20b.key"
                           << QStringList{"/tmp/a b.key", "/tmp/a%20b.key", "file:///tmp/a b.key",
                                          "file:/tmp/a%20b.key", "file://localhost/tmp/a b.key"};
    QTest::newRow("cyrillic") << QStringLiteral("/tmp/ключ.key")
                              << QStringList{"file:///tmp/%D0%BA%D0%BB%D1%8E%D1%87.key",
                                             "/tmp/%D0%BA%D0%BB%D1%8E%D1%87.key"};
}

void TestEncryptorSettings::keyFilenameWrittenDifferentlyIsNoChange()
{
    QFETCH(QString, first);
    QFETCH(QStringList, sameFile);
    EncryptorSettings settings;
    settings.setKeyFilename(first);
    const QString path = settings.keyFilename();
    SignalLog log(&settings);
    for (const QString &text : sameFile) {
        settings.setKeyFilename(text);
        QCOMPARE(settings.keyFilename(), path);
        QVERIFY2(log.take().isEmpty(), qPrintable(text));
    }
    settings.setKeyFilename(QStringLiteral("file:///tmp/another.key"));
    QCOMPARE(log.take(), QStringList{QStringLiteral("keyFilenameChanged")});
}

void TestEncryptorSettings::uavKeyFilenameIsStoredAsGiven()
{
    EncryptorSettings settings;
    const QString url = QStringLiteral("file:///tmp/a%20b.key");
    settings.setUavKeyFilename(url);
    QCOMPARE(settings.uavKeyFilename(), url);
}

void TestEncryptorSettings::updateEmitsItsThreeSignalsInOrder()
{
    EncryptorSettings settings;
    settings.setOutputPort(QStringLiteral("/dev/ttyUSB0"));
    settings.setInternalPort(QStringLiteral("/dev/ttyS1"));
    settings.setExternalPort(QStringLiteral("/dev/pts/7"));
    SignalLog log(&settings);
    settings.update();
    QCOMPARE(log.take(), (QStringList{"outputPortListChanged", "internalPortChanged",
                                      "externalPortChanged"}));
    QCOMPARE(settings.outputPort(), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(settings.internalPort(), QStringLiteral("/dev/ttyS1"));
    QCOMPARE(settings.externalPort(), QStringLiteral("/dev/pts/7"));
}

void TestEncryptorSettings::portListIsTheSystemLocations()
{
    QStringList expected;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        expected.append(info.systemLocation());
    EncryptorSettings settings;
    QCOMPARE(settings.outputPortList(), expected);
    QCOMPARE(settings.property("outputPortList").toStringList(), expected);
    // Full device paths, which the manager can open as they are.
    for (const QString &port : expected)
        QVERIFY2(port.startsWith(QLatin1Char('/')), qPrintable(port));
    qInfo("ports on this machine: %s", qPrintable(expected.join(QLatin1String(", "))));
}

QTEST_GUILESS_MAIN(TestEncryptorSettings)
#include "test_encryptor_settings.moc"
