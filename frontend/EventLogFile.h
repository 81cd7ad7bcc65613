// The program's log kept in a file of the settings folder, beside the window's
// log: each line the window logs and each diagnostic the components and line
// providers give (a command the modem refused, why a device would not open),
// with its date and time, so that what happened on a line left to answer on
// its own can be read after the window has gone.
//
//     EventLogFile log(settingsFolder + EventLogFile::kFileName);
//     if (!log.IsOpen()) tell(log.Error());
//     KeepDiagnosticsIn(&log);            // qInfo/qWarning/qCritical too
//     log.Write(QStringLiteral(">Connected."));
//
// A line is one line of the file: characters below U+0020 (tab aside) and DEL
// are written as \xNN, so a name or caller ID sent from outside can neither
// start a false entry nor put terminal controls into the file. When the file
// has grown past kRotateBytes it becomes kFileName + ".1" (one older file is
// kept, the one before it goes) and a new file is begun. Every line is flushed
// as it is written. Callable from any thread.
#pragma once

#include <QDateTime>
#include <QFile>
#include <QString>

#include <mutex>

namespace vh {

class EventLogFile
{
public:
    static inline const QString kFileName = QStringLiteral("vh-terminal.log");
    static constexpr qint64 kRotateBytes = 2 * 1024 * 1024;

    // Opens `path` for appending, rotating it first when it is already past
    // the limit; see Error() when that fails.
    explicit EventLogFile(QString path);
    ~EventLogFile();
    EventLogFile(const EventLogFile&) = delete;
    EventLogFile& operator=(const EventLogFile&) = delete;

    bool IsOpen() const;
    // Why the file is not being written, naming it and the cause; empty while it is.
    QString Error() const;
    const QString& Path() const { return m_path; }

    // "YYYY-MM-DD HH:MM:SS " (the clock's local time), the line, LF. A line
    // that cannot be written closes the file and sets Error(); later lines
    // are dropped.
    void Write(const QString& line);

private:
    bool OpenLocked();
    void FailLocked(const QString& cause);

    mutable std::mutex m_mutex;
    QString m_path;
    QFile m_file;
    QString m_error;
};

// The time stamp and the escaped line as Write puts them in the file, without
// the LF.
QByteArray EventLogEntry(const QDateTime& when, const QString& line);

// Installs a Qt message handler that also writes every message but debug
// output to `log` (a warning with "warning: " before it, and so on),
// and passes every message on to the handler in place before; nullptr puts
// that handler back; with `only` given, only when `only` is the log
// installed (the log's destructor does that, so it never outlives it).
void KeepDiagnosticsIn(EventLogFile* log, const EventLogFile* only = nullptr);

} // namespace vh
