// The settings view-model: what the window's bindings rely on (one notify signal per real
// change) and port names the manager can open as they are.
#include "app/EncryptorSettings.h"

#include <QSerialPortInfo>
#include <QtTest>

class TestEncryptorSettings : public QObject
{
    Q_OBJECT

private slots:
    void settersEmitOncePerRealChange_data()
    {
        QTest::addColumn<QString>("property");
        for (const char *name : {"outputPort", "internalPort", "externalPort"})
            QTest::newRow(name) << name;
    }
    // A signal on a write that changes nothing would loop the combo boxes' two-way bindings.
    void settersEmitOncePerRealChange()
    {
        QFETCH(QString, property);
        const QByteArray name = property.toLatin1();
        EncryptorSettings settings;
        QSignalSpy changed(&settings, QByteArray::number(QSIGNAL_CODE) + name + "Changed()");
        // Written the way QML writes it, through the property system.
        const std::pair<QString, int> steps[] = {
            {"", 0}, {"/dev/ttyUSB0", 1}, {"/dev/ttyUSB0", 1}, {"/dev/ttyUSB1", 2}, {"", 3}, {"", 3},
        };
        for (const auto &[value, emitted] : steps) {
            QVERIFY(settings.setProperty(name, value));
            QCOMPARE(settings.property(name).toString(), value);
            QCOMPARE(changed.count(), emitted);
        }
    }

    void portListIsTheSystemLocations()
    {
        QStringList expected;
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            expected.append(info.systemLocation());
        EncryptorSettings settings;
        QCOMPARE(settings.property("outputPortList").toStringList(), expected);
    }
};

QTEST_GUILESS_MAIN(TestEncryptorSettings)
#include "test_encryptor_settings.moc"
