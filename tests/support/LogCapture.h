// Captures the debug log (qDebug and friends, from every thread) while it exists, so tests
// can check the lines a component writes. One at a time.
#pragma once

#include <QRegularExpression>
#include <QStringList>

#include <atomic>
#include <mutex>

namespace testsupport {

class LogCapture
{
public:
    LogCapture()
    {
        if (s_active.exchange(this))
            qFatal("LogCapture: another capture is already active");
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_active = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // As the stream built them, without file or line.
    QStringList lines() const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    QStringList linesMatching(const QRegularExpression &pattern) const { return lines().filter(pattern); }
    int count(const QString &line) const { return lines().count(line); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        LogCapture *self = s_active.load();
        if (!self)
            return;
        const std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_lines.append(text);
        if (type == QtFatalMsg && self->m_previous)
            self->m_previous(type, context, text);
    }
    static inline std::atomic<LogCapture *> s_active{nullptr};

    // A standard mutex: ThreadSanitizer sees it, while QMutex locks inside QtCore unseen.
    mutable std::mutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};

} // namespace testsupport
