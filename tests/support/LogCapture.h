// Captures the debug log (qDebug and friends, from every thread) while it exists, so tests
// can check the exact lines a component writes and when it wrote them.
#pragma once

#include <QElapsedTimer>
#include <QMutex>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

namespace testsupport {

class LogCapture
{
public:
    struct Entry
    {
        QtMsgType type;
        QString text;  // the message as the stream built it, without file or line
        qint64 atMs;   // milliseconds since the capture started
    };

    // Only one capture may be active at a time; it replaces the current handler.
    explicit LogCapture(bool forwardToPrevious = false);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QVector<Entry> entries() const;
    QStringList lines() const;
    QStringList linesMatching(const QRegularExpression &pattern) const;
    int count(const QString &line) const;
    bool contains(const QString &line) const { return count(line) > 0; }
    void clear();
    qint64 elapsedMs() const { return m_clock.elapsed(); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);

    mutable QMutex m_mutex;
    QVector<Entry> m_entries;
    QElapsedTimer m_clock;
    bool m_forward;
    QtMessageHandler m_previous = nullptr;
};

} // namespace testsupport
