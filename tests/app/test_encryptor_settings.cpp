// The settings view-model: what the window's bindings rely on (notify signals, one emission per
// real change, the order of update()'s signals) and how a key file URL becomes a path.
#include "app/EncryptorSettings.h"

#include <QSerialPortInfo>
#include <QtTest>

#include <utility>

namespace {

// Every change signal of one instance, by name, in the order of emission.
class SignalLog
{
public:
    explicit SignalLog(EncryptorSettings *settings)
    {
        const std::pair<const char *, void (EncryptorSettings::*)()> changeSignals[] = {
            {"keyFilenameChanged", &EncryptorSettings::keyFilenameChanged},
            {"outputPortChanged", &EncryptorSettings::outputPortChanged},
            {"internalPortChanged", &EncryptorSettings::internalPortChanged},
            {"externalPortChanged", &EncryptorSettings::externalPortChanged},
            {"uavKeyFilenameChanged", &EncryptorSettings::uavKeyFilenameChanged},
            {"outputPortListChanged", &EncryptorSettings::outputPortListChanged},
        };
        for (const auto &[name, signal] : changeSignals)
            QObject::connect(settings, signal, [this, name = name] { m_log.append(name); });
    }
    QStringList take() { return std::exchange(m_log, {}); }

private:
    QStringList m_log;
};

} // namespace

class TestEncryptorSettings : public QObject
{
    Q_OBJECT

private slots:
    void freshInstanceIsEmpty()
    {
        // Nothing is persisted: a second instance must not see the first one's choices either.
        EncryptorSettings first;
        first.setOutputPort("/dev/ttyUSB0");
        first.setKeyFilename("/tmp/k.key");
        EncryptorSettings fresh;
        for (const char *name :
             {"outputPort", "internalPort", "externalPort", "keyFilename", "uavKeyFilename"}) {
            QVERIFY2(fresh.property(name).isValid(), name);
            QCOMPARE(fresh.property(name).toString(), QString());
        }
    }

    void settersEmitOncePerRealChange_data()
    {
        QTest::addColumn<QString>("property");
        for (const char *name :
             {"outputPort", "internalPort", "externalPort", "keyFilename", "uavKeyFilename"})
            QTest::newRow(name) << name;
    }
    void settersEmitOncePerRealChange()
    {
        QFETCH(QString, property);
        const QByteArray name = property.toLatin1();
        EncryptorSettings settings;
        SignalLog log(&settings);
        // Written the way QML writes it, through the property system.
        const std::pair<QString, bool> steps[] = {
            {"", false},           {"/dev/ttyUSB0", true}, {"/dev/ttyUSB0", false},
            {"/dev/ttyUSB1", true}, {"/dev/ttyUSB1", false}, {"", true}, {"", false},
        };
        for (const auto &[value, changes] : steps) {
            QVERIFY(settings.setProperty(name, value));
            QCOMPARE(settings.property(name).toString(), value);
            QCOMPARE(log.take(), changes ? QStringList{property + "Changed"} : QStringList{});
        }
    }

    void fileNamesAreStoredAsTheWindowNeedsThem_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("stored");
        // The key file: what a file dialog hands over, and paths typed by hand, as a path.
        QTest::newRow("file URL") << "keyFilename" << "file:///home/operator/keys/gcs.key"
                                  << "/home/operator/keys/gcs.key";
        QTest::newRow("percent escapes") << "keyFilename"
                                         << "file:///tmp/my%20keys/%D0%BA%D0%BB%D1%8E%D1%87.bin"
                                         << "/tmp/my keys/ключ.bin";
        QTest::newRow("plain path") << "keyFilename" << "/var/lib/keys/uav.key" << "/var/lib/keys/uav.key";
        QTest::newRow("escapes in a plain path") << "keyFilename" << "/tmp/a%20b%25c.key" << "/tmp/a b%c.key";
        // The path of the URL, not a local file name: the host and any query are dropped.
        QTest::newRow("URL with a host") << "keyFilename" << "file://server/share/k.key" << "/share/k.key";
        QTest::newRow("drive letter") << "keyFilename" << "file:///C:/keys/k.key" << "/C:/keys/k.key";
        QTest::newRow("query dropped") << "keyFilename" << "file:///tmp/k.key?x=1" << "/tmp/k.key";
        // The aircraft's key file is kept as given.
        QTest::newRow("uav key URL") << "uavKeyFilename" << "file:///tmp/a%20b.key"
                                     << "file:///tmp/a%20b.key";
    }
    void fileNamesAreStoredAsTheWindowNeedsThem()
    {
        QFETCH(QString, property);
        QFETCH(QString, given);
        QFETCH(QString, stored);
        EncryptorSettings settings;
        SignalLog log(&settings);
        for (int i = 0; i < 2; ++i) {
            QVERIFY(settings.setProperty(property.toLatin1(), given));
            QCOMPARE(settings.property(property.toLatin1()).toString(), stored);
            QCOMPARE(log.take(), i == 0 ? QStringList{property + "Changed"} : QStringList{});
        }
    }

    void keyFilenameWrittenDifferentlyIsNoChange_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QStringList>("sameFile");
        QTest::newRow("space") << "file:///tmp/a%20b.key"
                               << QStringList{"/tmp/a b.key", "/tmp/a%20b.key", "file:///tmp/a b.key",
                                              "file:/tmp/a%20b.key", "file://localhost/tmp/a b.key"};
        QTest::newRow("cyrillic") << "/tmp/ключ.key"
                                  << QStringList{"file:///tmp/%D0%BA%D0%BB%D1%8E%D1%87.key",
                                                 "/tmp/%D0%BA%D0%BB%D1%8E%D1%87.key"};
    }
    void keyFilenameWrittenDifferentlyIsNoChange()
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
        settings.setKeyFilename("file:///tmp/another.key");
        QCOMPARE(log.take(), QStringList{"keyFilenameChanged"});
    }

    void updateEmitsItsThreeSignalsInOrder()
    {
        EncryptorSettings settings;
        settings.setOutputPort("/dev/ttyUSB0");
        settings.setInternalPort("/dev/ttyS1");
        settings.setExternalPort("/dev/pts/7");
        SignalLog log(&settings);
        settings.update();
        QCOMPARE(log.take(), (QStringList{"outputPortListChanged", "internalPortChanged",
                                          "externalPortChanged"}));
        QCOMPARE(settings.outputPort(), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(settings.internalPort(), QStringLiteral("/dev/ttyS1"));
        QCOMPARE(settings.externalPort(), QStringLiteral("/dev/pts/7"));
    }

    void portListIsTheSystemLocations()
    {
        QStringList expected;
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            expected.append(info.systemLocation());
        EncryptorSettings settings;
        QCOMPARE(settings.property("outputPortList").toStringList(), expected);
        // Full device paths, which the manager can open as they are.
        for (const QString &port : expected)
            QVERIFY2(port.startsWith('/'), qPrintable(port));
    }
};

QTEST_GUILESS_MAIN(TestEncryptorSettings)
#include "test_encryptor_settings.moc"
