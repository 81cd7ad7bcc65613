#include "cli/Report.h"

#include "common/Clock.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace vh::cli {

namespace {

constexpr int kRedrawMs = 100;
constexpr int kBarCells = 20;

int Columns(int fd)
{
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40)
        return size.ws_col;
    return 80;
}

} // namespace

Report::Report(int fd) : m_fd(fd), m_terminal(::isatty(fd) == 1) {}

void Report::Write(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // standard error is gone: nobody to tell
        done += n;
    }
}

void Report::Log(const QString& line)
{
    if (m_silent)
        return;
    ClearBar();
    Write(line.toUtf8() + '\n');
    if (m_lastDrawMs >= 0)
        DrawBar();
}

void Report::Message(const QString& text)
{
    Log(QStringLiteral("vh-term: ") + text);
}

void Report::Progress(const Figures& figures)
{
    if (m_silent || !m_terminal)
        return;
    m_figures = figures;
    const std::int64_t now = qv::Clock::Instance().MonotonicMs();
    if (m_lastDrawMs >= 0 && now - m_lastDrawMs < kRedrawMs && figures.fileBytes < figures.fileSize)
        return;
    m_lastDrawMs = now;
    DrawBar();
}

void Report::EndProgress()
{
    ClearBar();
    m_lastDrawMs = -1;
}

void Report::ClearBar()
{
    if (!m_barShown)
        return;
    Write("\r\033[K");
    m_barShown = false;
}

void Report::DrawBar()
{
    if (m_silent || !m_terminal)
        return;
    const Figures& f = m_figures;
    const int percent = f.fileSize > 0 ? int(f.fileBytes * 100 / f.fileSize) : 100;
    const int filled = percent * kBarCells / 100;
    QString line = QStringLiteral("[%1%2] %3% %4/%5 ")
                       .arg(QString(filled, QLatin1Char('#')), QString(kBarCells - filled, QLatin1Char('.')))
                       .arg(percent, 3)
                       .arg(f.fileIndex)
                       .arg(f.fileCount);
    const QString tail = f.rate.isEmpty() ? QString() : QStringLiteral("  ") + f.rate;
    // The file's own name, shortened from the front, in what is left of one
    // line, so that the bar never wraps.
    QString name = f.fileName.mid(f.fileName.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype room = Columns(m_fd) - 1 - line.size() - tail.size();
    if (room < 4)
        name.clear();
    else if (name.size() > room)
        name = QStringLiteral("...") + name.right(room - 3);
    line += name + tail;
    Write("\r\033[K" + line.toUtf8());
    m_barShown = true;
}

} // namespace vh::cli
