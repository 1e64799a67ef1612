#include "tests/support/LogCapture.h"

#include <QMutexLocker>

#include <atomic>

namespace testsupport {

namespace {
std::atomic<LogCapture *> activeCapture{nullptr};
}

LogCapture::LogCapture()
{
    m_clock.start();
    LogCapture *expected = nullptr;
    if (!activeCapture.compare_exchange_strong(expected, this))
        qFatal("LogCapture: another capture is already active");
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    activeCapture.store(nullptr);
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    LogCapture *self = activeCapture.load();
    if (!self)
        return;
    {
        QMutexLocker lock(&self->m_mutex);
        self->m_entries.append(Entry{text, self->m_clock.elapsed()});
    }
    if (type == QtFatalMsg && self->m_previous)
        self->m_previous(type, context, text);
}

QVector<LogCapture::Entry> LogCapture::entries() const
{
    QMutexLocker lock(&m_mutex);
    return m_entries;
}

QStringList LogCapture::linesMatching(const QRegularExpression &pattern) const
{
    QStringList out;
    for (const Entry &e : entries())
        if (pattern.match(e.text).hasMatch())
            out << e.text;
    return out;
}

void LogCapture::clear()
{
    QMutexLocker lock(&m_mutex);
    m_entries.clear();
}

} // namespace testsupport
