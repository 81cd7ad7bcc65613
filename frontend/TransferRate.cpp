#include "frontend/TransferRate.h"

#include <algorithm>

namespace vh {

void TransferRate::Begin(std::int64_t nowMs)
{
    m_samples.clear();
    m_totalSize = 0;
    m_fileIndex = -1;
    m_fileStartMs = nowMs;
    m_fileStartBytes = m_fileBytes = 0;
}

void TransferRate::Progress(std::int64_t nowMs, int fileIndex, std::int64_t fileBytes,
                            std::int64_t totalBytes, std::int64_t totalSize)
{
    if (fileIndex != m_fileIndex || fileBytes < m_fileBytes) {
        // A new file, or the same one started again from an earlier place:
        // its first report is where its count starts.
        m_fileIndex = fileIndex;
        m_fileStartMs = nowMs;
        m_fileStartBytes = fileBytes;
    }
    m_fileBytes = fileBytes;
    m_totalSize = totalSize;
    if (!m_samples.empty() && totalBytes < m_samples.back().totalBytes)
        m_samples.clear();
    m_samples.push_back(Sample{nowMs, totalBytes});
    while (m_samples.size() > 2 && nowMs - m_samples[1].ms >= kWindowMs)
        m_samples.pop_front();
}

double TransferRate::BytesPerSecond() const
{
    if (m_samples.size() < 2)
        return 0;
    const Sample& first = m_samples.front();
    const Sample& last = m_samples.back();
    const std::int64_t span = last.ms - first.ms;
    if (span < 500)
        return 0;
    return double(last.totalBytes - first.totalBytes) * 1000.0 / double(span);
}

std::int64_t TransferRate::SecondsLeft() const
{
    const double rate = BytesPerSecond();
    if (rate <= 0 || m_samples.empty())
        return -1;
    const std::int64_t left = std::max<std::int64_t>(0, m_totalSize - m_samples.back().totalBytes);
    return std::int64_t(double(left) / rate + 0.999);
}

QString TransferRate::LiveText() const
{
    const double rate = BytesPerSecond();
    if (rate <= 0)
        return m_samples.size() >= 2 && m_samples.back().ms - m_samples.front().ms >= 500
                   ? QStringLiteral("stalled")
                   : QString();
    return QStringLiteral("%1, %2 left").arg(FormatRate(rate), FormatDuration(SecondsLeft()));
}

QString TransferRate::FileEndText(std::int64_t nowMs) const
{
    const std::int64_t bytes = m_fileBytes - m_fileStartBytes;
    if (m_fileIndex < 0 || bytes <= 0)
        return QString();
    const std::int64_t ms = std::max<std::int64_t>(1, nowMs - m_fileStartMs);
    return QStringLiteral("TRANSFER>%1 bytes in %2 s, %3")
        .arg(bytes)
        .arg(double(ms) / 1000.0, 0, 'f', 1)
        .arg(FormatRate(double(bytes) * 1000.0 / double(ms)));
}

QString FormatRate(double bytesPerSecond)
{
    if (bytesPerSecond < 1024)
        return QStringLiteral("%1 B/s").arg(qint64(bytesPerSecond + 0.5));
    if (bytesPerSecond < 1024 * 1024)
        return QStringLiteral("%1 KB/s").arg(bytesPerSecond / 1024, 0, 'f', 1);
    return QStringLiteral("%1 MB/s").arg(bytesPerSecond / (1024 * 1024), 0, 'f', 1);
}

QString FormatDuration(std::int64_t seconds)
{
    seconds = std::max<std::int64_t>(0, seconds);
    const std::int64_t h = seconds / 3600, m = (seconds / 60) % 60, s = seconds % 60;
    if (h > 0)
        return QStringLiteral("%1:%2:%3")
            .arg(h)
            .arg(m, 2, 10, QLatin1Char('0'))
            .arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

} // namespace vh
