// How fast a transfer goes and how long it still takes, from its progress
// reports: a rate over the last few seconds, so that a stall shows at once
// and a resumed file does not count the part it already had.
#pragma once

#include <QString>

#include <cstdint>
#include <deque>

namespace vh {

class TransferRate
{
public:
    // The rate is taken over this much of the recent past.
    static constexpr std::int64_t kWindowMs = 5000;

    // A send or receive operation begins; what came before is forgotten.
    void Begin(std::int64_t nowMs);
    // A progress report: bytes of the current file and of all files so far,
    // and the size of all files.
    void Progress(std::int64_t nowMs, int fileIndex, std::int64_t fileBytes, std::int64_t totalBytes,
                  std::int64_t totalSize);

    // Bytes per second; 0 until half a second has been measured.
    double BytesPerSecond() const;
    // Seconds until all files are done at that rate; -1 when unknown.
    std::int64_t SecondsLeft() const;
    // What the status bar shows: "12.3 KB/s, 0:42 left"; empty before a rate.
    QString LiveText() const;
    // The log line at a file's end: its bytes moved in this operation, the
    // time they took and their rate; empty when the file moved nothing.
    QString FileEndText(std::int64_t nowMs) const;

private:
    struct Sample
    {
        std::int64_t ms;
        std::int64_t totalBytes;
    };
    std::deque<Sample> m_samples;
    std::int64_t m_totalSize = 0;
    int m_fileIndex = -1;
    std::int64_t m_fileStartMs = 0;
    std::int64_t m_fileStartBytes = 0;
    std::int64_t m_fileBytes = 0;
};

// "512 B/s", "12.3 KB/s", "1.5 MB/s".
QString FormatRate(double bytesPerSecond);
// "0:42", "12:05", "1:02:03".
QString FormatDuration(std::int64_t seconds);

} // namespace vh
