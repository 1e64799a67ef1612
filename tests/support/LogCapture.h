// Captures the debug log (qDebug and friends, from every thread) while it exists, so tests
// can check the exact lines a component writes and when it wrote them. One at a time.
#pragma once

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <mutex>

namespace testsupport {

class LogCapture
{
public:
    struct Entry
    {
        QString text; // as the stream built it, without file or line
        qint64 atMs;  // since the capture started
    };

    LogCapture()
    {
        m_clock.start();
        if (active().exchange(this))
            qFatal("LogCapture: another capture is already active");
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        active() = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QVector<Entry> entries() const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries;
    }
    QStringList linesMatching(const QRegularExpression &pattern) const
    {
        QStringList out;
        for (const Entry &e : entries())
            if (pattern.match(e.text).hasMatch())
                out << e.text;
        return out;
    }
    QStringList lines() const { return linesMatching(QRegularExpression()); }
    int count(const QString &line) const { return lines().count(line); }
    bool contains(const QString &line) const { return count(line) > 0; }
    void clear()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.clear();
    }

private:
    static std::atomic<LogCapture *> &active()
    {
        static std::atomic<LogCapture *> capture{nullptr};
        return capture;
    }
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        LogCapture *self = active().load();
        if (!self)
            return;
        {
            const std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_entries.append(Entry{text, self->m_clock.elapsed()});
        }
        if (type == QtFatalMsg && self->m_previous)
            self->m_previous(type, context, text);
    }

    // A standard mutex: ThreadSanitizer sees it, while QMutex locks inside QtCore unseen.
    mutable std::mutex m_mutex;
    QVector<Entry> m_entries;
    QElapsedTimer m_clock;
    QtMessageHandler m_previous = nullptr;
};

} // namespace testsupport
