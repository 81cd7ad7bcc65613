#include "frontend/EventLogFile.h"

#include "common/Clock.h"

#include <QFileInfo>
#include <QScopeGuard>

#include <atomic>
#include <utility>

namespace vh {

namespace {

std::atomic<EventLogFile*> g_diagnosticsLog{nullptr};
QtMessageHandler g_previousHandler = nullptr;

} // namespace

QByteArray EventLogEntry(const QDateTime& when, const QString& line)
{
    QString text = when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss "));
    text.reserve(text.size() + line.size());
    for (const QChar c : line) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t') || u == 0x7F)
            text += QStringLiteral("\\x") + QString::number(unsigned(u), 16).rightJustified(2, u'0').toUpper();
        else
            text += c;
    }
    return text.toUtf8();
}

EventLogFile::EventLogFile(QString path) : m_path(std::move(path))
{
    const std::lock_guard lock(m_mutex);
    OpenLocked();
}

EventLogFile::~EventLogFile()
{
    KeepDiagnosticsIn(nullptr, this);
}

bool EventLogFile::IsOpen() const
{
    const std::lock_guard lock(m_mutex);
    return m_file.isOpen();
}

QString EventLogFile::Error() const
{
    const std::lock_guard lock(m_mutex);
    return m_error;
}

bool EventLogFile::OpenLocked()
{
    m_file.close();
    if (QFileInfo(m_path).size() > kRotateBytes) {
        // One older file is kept; the one before it makes room.
        const QString older = m_path + QStringLiteral(".1");
        QFile::remove(older);
        if (!QFile::rename(m_path, older)) {
            FailLocked(QStringLiteral("it could not be renamed to %1 to begin a new one").arg(older));
            return false;
        }
    }
    m_file.setFileName(m_path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        FailLocked(m_file.errorString());
        return false;
    }
    m_error.clear();
    return true;
}

void EventLogFile::FailLocked(const QString& cause)
{
    m_file.close();
    m_error = QStringLiteral("The log file %1 cannot be written: %2; the log is kept in the window only.")
                  .arg(m_path, cause);
}

void EventLogFile::Write(const QString& line)
{
    // A message the file itself gives while it is written comes back here
    // through the diagnostics handler, on the thread that holds the lock.
    thread_local bool writing = false;
    if (writing)
        return;
    writing = true;
    const auto done = qScopeGuard([] { writing = false; });
    const QByteArray entry = EventLogEntry(qv::Clock::Instance().Now(), line) + '\n';
    const std::lock_guard lock(m_mutex);
    if (!m_file.isOpen())
        return;
    if (m_file.write(entry) != entry.size() || !m_file.flush()) {
        FailLocked(m_file.errorString());
        return;
    }
    if (m_file.size() > kRotateBytes)
        OpenLocked();
}

namespace {

void DiagnosticsHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (g_previousHandler)
        g_previousHandler(type, context, message);
    EventLogFile* log = g_diagnosticsLog.load();
    if (!log)
        return;
    switch (type) {
    case QtDebugMsg:
        return;
    case QtInfoMsg:
        log->Write(message);
        return;
    case QtWarningMsg:
        log->Write(QStringLiteral("warning: ") + message);
        return;
    case QtCriticalMsg:
        log->Write(QStringLiteral("critical: ") + message);
        return;
    case QtFatalMsg:
        log->Write(QStringLiteral("fatal: ") + message);
        return;
    }
}

} // namespace

void KeepDiagnosticsIn(EventLogFile* log, const EventLogFile* only)
{
    EventLogFile* const installed = g_diagnosticsLog.load();
    if (only && installed != only)
        return;
    if (log && !installed)
        g_previousHandler = qInstallMessageHandler(DiagnosticsHandler);
    else if (!log && installed)
        qInstallMessageHandler(std::exchange(g_previousHandler, nullptr));
    g_diagnosticsLog = log;
}

} // namespace vh
