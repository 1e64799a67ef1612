// Worker that owns one serial port: bytes read leave as dataArrived chunks, bytes given to
// writeData are gathered and written; once a second it logs the bytes moved. A port whose
// device goes away is closed and opened again under the same name once it is back.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <cstdint>

class OrvSerialPort : public QObject
{
    Q_OBJECT

public:
    // Opens the port in the calling thread; throws std::runtime_error when it cannot.
    OrvSerialPort(const QString &portName, int baudRate, QObject *parent = nullptr);
    ~OrvSerialPort() override;

signals:
    void dataArrived(QByteArray data);
    void dataReadyForWrite();
    // The device went away and the port was closed; reopening is tried once a second.
    void portLost();
    // The same name opened again; bytes flow as before.
    void portRestored();

public slots:
    void writeData(QByteArray data);
    void readData();
    void write();

private slots:
    void calculateSpeed();
    void tryReopen();

private:
    void onPortError(QSerialPort::SerialPortError portError);

    QSerialPort serialPort;
    QByteArray writeBuffer;
    uint64_t bytesWritten = 0;
    uint64_t bytesRead = 0;
    QTimer speedTimer;
    QTimer reopenTimer;
};
