// A pseudo-terminal pair for tests of serial code: the code under test opens the slave by
// its path, the test drives the master. The line is raw (no echo, no line editing), so bytes
// pass unchanged both ways. Failing to create one ends the test program.
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>
#include <termios.h>

namespace testsupport {

class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    // "/dev/pts/N", what a user would type.
    QString slavePath() const { return m_slavePath; }
    // "pts/N", what QSerialPort::portName() reports for that path.
    QString portName() const { return m_slavePath.mid(5); }

    // Writes all bytes to the master; false on error or when the line stays full.
    bool write(const QByteArray &bytes, int timeoutMs = 2000);
    // Waits up to timeoutMs for the first byte, then returns whatever is buffered.
    QByteArray readSome(int timeoutMs);
    // Reads until n bytes arrived or timeoutMs passed; returns what it got.
    QByteArray readExactly(int n, int timeoutMs);
    // Reads until the line has been quiet for quietMs (or totalMs passed).
    QByteArray readUntilQuiet(int quietMs, int totalMs = 5000);

    // The line's rates as the slave's opener left them, and setting both, from the master side.
    speed_t outputSpeed() const;
    speed_t inputSpeed() const;
    bool setSpeed(speed_t speed);

    // Closing the master hangs up the slave, as unplugging a USB modem does.
    void closeMaster();
    // Descriptors of this process open on the slave, not counting the pair's own.
    int openCountInProcess() const;

private:
    int m_master = -1;
    int m_slave = -1; // held so that the master never sees a hang-up between openers
    dev_t m_slaveDevice = 0;
    QString m_slavePath;
};

} // namespace testsupport
