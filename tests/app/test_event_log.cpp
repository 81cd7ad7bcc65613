// The log file: what the window logs and what the components report, each
// line time-stamped and kept one line however it was made, the older file
// kept when it grows too long, and a file that cannot be written said so.
#include "frontend/EventLogFile.h"

#include "common/Clock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace vh {
namespace {

QByteArray Contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

TEST(EventLogFile, LinesAndDiagnosticsAreKeptTimeStampedOneLineEach)
{
    qv::ScopedVirtualClock clock;
    QTemporaryDir dir;
    const QString path = dir.filePath(EventLogFile::kFileName);
    {
        EventLogFile log(path);
        ASSERT_TRUE(log.IsOpen()) << log.Error().toStdString();
        log.Write(QStringLiteral(">Connected."));
        clock->Advance(61000);
        // A name from the far side may carry anything.
        log.Write(QString::fromUtf8("TRANSFER>Receiving File: a\r\n2024-01-01 12:00:00 >Connected.\x1b[2J\tنامه"));
        KeepDiagnosticsIn(&log);
        qInfo("modem line 0: the modem did without AT+VCID=1");
        qWarning("modem line 0: The modem device went away.");
        qDebug("not for the file");
    }
    // The log's end took its handler with it.
    qWarning("after the log has gone");
    EXPECT_EQ(Contents(path),
              "2024-01-01 12:00:00 >Connected.\n"
              "2024-01-01 12:01:01 TRANSFER>Receiving File: a\\x0D\\x0A2024-01-01 12:00:00 >Connected.\\x1B[2J\t"
              "\xd9\x86\xd8\xa7\xd9\x85\xd9\x87\n"
              "2024-01-01 12:01:01 modem line 0: the modem did without AT+VCID=1\n"
              "2024-01-01 12:01:01 warning: modem line 0: The modem device went away.\n");

    // Opened again, it goes on at the end.
    EventLogFile again(path);
    again.Write(QStringLiteral("next run"));
    EXPECT_TRUE(Contents(path).endsWith("went away.\n2024-01-01 12:01:01 next run\n"));
}

TEST(EventLogFile, ALongLogBeginsAfreshKeepingOneOlderAndAnUnwritableOneSaysWhy)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(EventLogFile::kFileName);
    const QString line(999, QLatin1Char('x'));
    {
        EventLogFile log(path);
        for (qint64 written = 0; written <= 2 * EventLogFile::kRotateBytes; written += 1000 + 20)
            log.Write(line);
        EXPECT_TRUE(log.IsOpen());
    }
    const qint64 older = QFileInfo(path + ".1").size();
    EXPECT_GT(older, EventLogFile::kRotateBytes);
    EXPECT_LT(older, EventLogFile::kRotateBytes + 2000);
    EXPECT_LT(QFileInfo(path).size(), EventLogFile::kRotateBytes);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2) << "only one older file is kept";

    ASSERT_TRUE(QDir(dir.path()).mkdir("taken.log"));
    EventLogFile unwritable(dir.filePath("taken.log"));
    EXPECT_FALSE(unwritable.IsOpen());
    EXPECT_TRUE(unwritable.Error().startsWith("The log file " + dir.filePath("taken.log") + " cannot be written: "))
        << unwritable.Error().toStdString();
    unwritable.Write(line); // dropped, no crash
}

} // namespace
} // namespace vh
