// Worker that offers the ground-control program a serial port on Linux: a pseudo-terminal whose
// slave is reachable through a stable link. Toward the rest of the system it behaves like the
// serial port worker: byte chunks out through dataArrived, byte chunks in through writeData.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <termios.h>

class QSocketNotifier;
class QTimer;

class VirtualSerialPort : public QObject
{
    Q_OBJECT

public:
    // Creates the pseudo-terminal and the link linkPath -> /dev/pts/N (an old link is replaced).
    // Throws std::runtime_error when either cannot be made.
    explicit VirtualSerialPort(const QString &linkPath, QObject *parent = nullptr);
    ~VirtualSerialPort() override;

    QString linkPath() const { return link; }
    QString slaveName() const { return slave; }

    // $XDG_RUNTIME_DIR/uav-link-gcs, or /tmp/uav-link-gcs-<uid> without a usable runtime dir.
    static QString defaultLinkPath();

    // Bytes held for a client that does not read; past this they are dropped.
    static constexpr int maxPendingBytes = 1 << 20;

signals:
    void dataArrived(QByteArray data);
    void dataReadyForWrite();

public slots:
    void writeData(QByteArray data);
    void readData();
    void write();

private slots:
    void calculateSpeed();
    void clientActivity();
    void masterWritable();

private:
    // Owns one file descriptor; closes it when destroyed, also when the constructor throws.
    class Fd
    {
    public:
        Fd() = default;
        ~Fd() { reset(); }
        Fd(const Fd &) = delete;
        Fd &operator=(const Fd &) = delete;
        int get() const { return fd; }
        void reset(int value = -1);

    private:
        int fd = -1;
    };

    void updateClientState();
    bool slaveHeld() const;
    void forgetUnread();

    QString link;
    QString slave;
    Fd master;
    Fd watcher;
    struct termios rawTermios;
    bool connected = false;  // some process, of any user, holds the slave open

    QByteArray writeBuffer;
    quint64 bytesWritten = 0;
    quint64 bytesRead = 0;

    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    QSocketNotifier *clientNotifier = nullptr;
    QTimer *speedTimer = nullptr;
};
