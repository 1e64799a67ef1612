// Captures the debug log (qDebug and friends, from every thread) while it exists, so tests
// can check the exact lines a component writes and when it wrote them.
#pragma once

#include <QElapsedTimer>
#include <QMutex>
#include <QRegularExpression>
#include <QStringList>
#include <QVector>

namespace testsupport {

class LogCapture
{
public:
    struct Entry
    {
        QString text; // as the stream built it, without file or line
        qint64 atMs;  // since the capture started
    };

    // Only one capture may be active at a time; it replaces the current handler.
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QVector<Entry> entries() const;
    QStringList lines() const { return linesMatching(QRegularExpression()); }
    QStringList linesMatching(const QRegularExpression &pattern) const;
    int count(const QString &line) const { return lines().count(line); }
    bool contains(const QString &line) const { return count(line) > 0; }
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);

    mutable QMutex m_mutex;
    QVector<Entry> m_entries;
    QElapsedTimer m_clock;
    QtMessageHandler m_previous = nullptr;
};

} // namespace testsupport
