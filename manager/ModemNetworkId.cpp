// Writing a network id into the radio modem with AT commands. The modem's answers are not
// read: the commands go out blind, with fixed pauses that give the modem time to react.
#include "manager/EncryptorManager.h"

#include "transport/OrvSerialPort.h"

#include <QByteArray>
#include <QDebug>
#include <QMetaObject>

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace {

// The modem configuration port runs at this rate in both modes.
constexpr int modemBaudRate = 230400;

void queueWrite(OrvSerialPort *worker, const QByteArray &bytes)
{
    QMetaObject::invokeMethod(worker, "writeData", Qt::QueuedConnection,
                              Q_ARG(const QByteArray &, bytes));
}

} // namespace

void EncryptorManager::writeNetworkIdToModem(OrvSerialPort *worker, uint8_t netId)
{
    // A modem takes "+++" as the escape only with a guard time of silence (one second by
    // default) before and after it; anything closer is passed on as data.
    QThread::msleep(1100);
    queueWrite(worker, QByteArray("+++", 3));
    QThread::msleep(1100);

    // Each AT command goes out with its string's terminating zero byte; the escape without.
    char command[20];
    const int length = std::sprintf(command, "ATS3=%d\r\n", netId);
    queueWrite(worker, QByteArray(command, length + 1));
    QThread::msleep(250);
    queueWrite(worker, QByteArray("AT&W\r\n", sizeof "AT&W\r\n"));
    QThread::msleep(250);
    queueWrite(worker, QByteArray("ATZ\r\n", sizeof "ATZ\r\n"));
    QThread::msleep(250);
}

void EncryptorManager::setNetworkId(QString modemPort, int netId)
{
    // The window does not offer this while a routine runs; two at once would interleave
    // their commands if they reached the same modem.
    if (modemRoutine) {
        qDebug() << "Modem routine already running";
        emit error(QStringLiteral("The modem is still being configured"));
        return;
    }
    OrvSerialPort *worker = nullptr;
    try {
        worker = new OrvSerialPort(modemPort, modemBaudRate, nullptr);
    } catch (const std::runtime_error &e) {
        qDebug() << "Error opening serial port";
        emit error(QString::fromUtf8(e.what()));
        return;
    }
    auto *thread = new QThread;
    worker->moveToThread(thread);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater, Qt::AutoConnection);
    thread->start(QThread::InheritPriority);

    // The worker, and with it the port, goes as its thread finishes, however the routine ends.
    startModemRoutine(worker, static_cast<uint8_t>(netId & 0xFF), [thread](bool) {
        thread->quit();
        thread->wait();
        delete thread;
    });
}

void EncryptorManager::startModemRoutine(OrvSerialPort *worker, uint8_t netId,
                                         std::function<void(bool)> after)
{
    waitForModemRoutine();
    afterModemRoutine = std::move(after);
    modemRoutine = QThread::create([worker, netId] { writeNetworkIdToModem(worker, netId); });
    // The thread object is the context: once deleted, a finish it still had queued is gone too.
    QThread *thread = modemRoutine;
    connect(thread, &QThread::finished, thread, [this, thread] {
        if (modemRoutine == thread)
            endModemRoutine(true);
    }, Qt::QueuedConnection);
    modemRoutine->start(QThread::InheritPriority);
    emit modemRoutineRunningChanged();
}

void EncryptorManager::waitForModemRoutine()
{
    if (modemRoutine)
        endModemRoutine(false);
}

void EncryptorManager::endModemRoutine(bool completed)
{
    QThread *thread = std::exchange(modemRoutine, nullptr);
    const std::function<void(bool)> after = std::exchange(afterModemRoutine, nullptr);
    thread->wait();
    // On completion this runs inside the thread object's own queued call.
    if (completed)
        thread->deleteLater();
    else
        delete thread;
    after(completed);
    emit modemRoutineRunningChanged();
}
