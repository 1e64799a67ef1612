#include "transport/OrvSerialPort.h"

#include <QDebug>

#include <stdexcept>

OrvSerialPort::OrvSerialPort(const QString &portName, int baudRate, QObject *parent)
    : QObject(parent)
    , serialPort(portName, this)
    , speedTimer(this)
    , reopenTimer(this)
{
    serialPort.setBaudRate(baudRate, QSerialPort::AllDirections);
    // No read buffer limit: each notification takes everything the line holds and hands it on
    // as one chunk. A limit of one byte cost a readyRead and a dataArrived per byte and could
    // not keep up with the modem's test-mode rate.
    serialPort.setReadBufferSize(0);

    if (!serialPort.open(QIODevice::ReadWrite)) {
        const QString message =
            QString("Error opening port %1: %2").arg(portName, serialPort.errorString());
        qDebug() << message;
        throw std::runtime_error(message.toStdString());
    }
    // Whatever the line held before we opened it belongs to nobody.
    serialPort.clear(QSerialPort::AllDirections);

    connect(&serialPort, &QSerialPort::readyRead, this, &OrvSerialPort::readData,
            Qt::QueuedConnection);
    connect(this, &OrvSerialPort::dataReadyForWrite, this, &OrvSerialPort::write,
            Qt::QueuedConnection);
    connect(&speedTimer, &QTimer::timeout, this, &OrvSerialPort::calculateSpeed,
            Qt::AutoConnection);
    // Direct: the port must be closed inside the emission, or a hung-up line spins.
    connect(&serialPort, &QSerialPort::errorOccurred, this, &OrvSerialPort::onPortError,
            Qt::DirectConnection);

    connect(&reopenTimer, &QTimer::timeout, this, &OrvSerialPort::tryReopen);

    speedTimer.setSingleShot(true);
    // Started by a queued call in the thread the worker then lives in: moving an object with a
    // running timer makes Qt post the timer's re-registration with a list that leaks when the
    // thread ends before it runs.
    QMetaObject::invokeMethod(&speedTimer, "start", Qt::QueuedConnection, Q_ARG(int, 1000));
}

OrvSerialPort::~OrvSerialPort()
{
    serialPort.close();
}

void OrvSerialPort::writeData(QByteArray data)
{
    writeBuffer.append(data);
    emit dataReadyForWrite();
}

void OrvSerialPort::readData()
{
    serialPort.clearError();
    const QByteArray chunk = serialPort.readAll();
    if (chunk.isEmpty() && serialPort.error() != QSerialPort::NoError) {
        qDebug() << "Error reading data from" << serialPort.portName() << ":"
                 << serialPort.errorString();
        return;
    }
    bytesRead += static_cast<uint64_t>(chunk.size());
    emit dataArrived(chunk);
}

void OrvSerialPort::write()
{
    if (writeBuffer.isEmpty()) {
        writeBuffer.clear();
        return;
    }
    // A line that went away stays closed; what is sent to it is dropped, not hoarded.
    if (!serialPort.isOpen()) {
        writeBuffer.clear();
        return;
    }

    const qint64 length = writeBuffer.size();
    qint64 total = 0;
    while (total < length) {
        const qint64 accepted = serialPort.write(writeBuffer.constData() + total, length - total);
        if (accepted < 0) {
            qDebug() << "Error writing data to" << serialPort.portName() << ":"
                     << serialPort.errorString();
            return;
        }
        if (accepted == 0) {
            // QSerialPort buffers every write, so this does not happen; should it, keep the
            // rest for the next write() rather than loop here.
            bytesWritten += static_cast<uint64_t>(total);
            writeBuffer.remove(0, static_cast<int>(total));
            return;
        }
        total += accepted;
    }
    bytesWritten += static_cast<uint64_t>(total);
    writeBuffer.clear();
}

void OrvSerialPort::calculateSpeed()
{
    const QString name = QString("(%1)").arg(serialPort.portName());
    qDebug().noquote() << name << "read speed:" << bytesRead << "B/s";
    qDebug().noquote() << name << "write speed:" << bytesWritten << "B/s";
    bytesWritten = 0;
    bytesRead = 0;
    speedTimer.start(1000);
}

void OrvSerialPort::onPortError(QSerialPort::SerialPortError portError)
{
    // A device that went away (a USB modem unplugged, the far end of a pty closed) shows up
    // as a read error on every pass of the event loop, or as a resource error. Left open,
    // the port spins a core at 100 %; closed, it stays quiet until the worker is replaced.
    if (portError != QSerialPort::ReadError && portError != QSerialPort::ResourceError)
        return;
    if (!serialPort.isOpen())
        return;
    qDebug() << "Serial port" << serialPort.portName() << "lost:" << serialPort.errorString()
             << "- closing it";
    serialPort.close();
    // A USB modem that is plugged in again comes back under the same name; so does a
    // pseudo-terminal link that is made again. Nothing else in the relay changes meanwhile.
    reopenTimer.start(1000);
    emit portLost();
}

void OrvSerialPort::tryReopen()
{
    // A failed open only reports an open error, which onPortError leaves alone.
    if (!serialPort.open(QIODevice::ReadWrite))
        return;
    reopenTimer.stop();
    serialPort.clear(QSerialPort::AllDirections);
    qDebug() << "Serial port" << serialPort.portName() << "is back";
    emit portRestored();
}
