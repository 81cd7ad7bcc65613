// What vh-term tells its operator on standard error: the window's English
// log lines as they happen, a progress bar for a transfer when standard
// error is a terminal, and its own messages ("vh-term: ..."). When standard
// error is the line itself (a transfer over the terminal the program runs
// on), nothing is written at all, since every byte would land in the stream.
#pragma once

#include <QString>

#include <cstdint>

namespace vh::cli {

class Report
{
public:
    explicit Report(int fd = 2);

    void SetSilent(bool silent) { m_silent = silent; }
    bool Silent() const { return m_silent; }
    bool IsTerminal() const { return m_terminal; }

    // One line of the log.
    void Log(const QString& line);
    // "vh-term: " + text.
    void Message(const QString& text);

    struct Figures
    {
        QString fileName;
        int fileIndex = 0;
        int fileCount = 0;
        std::int64_t fileBytes = 0;
        std::int64_t fileSize = 0;
        QString rate; // "12.3 KB/s, 0:42 left", or empty
    };
    // Redraws the bar (at most ten times a second); nothing when standard
    // error is not a terminal, where the log lines say what happens.
    void Progress(const Figures& figures);
    // Takes the bar off the screen.
    void EndProgress();

private:
    void Write(const QByteArray& bytes);
    void ClearBar();
    void DrawBar();

    int m_fd;
    bool m_terminal;
    bool m_silent = false;
    bool m_barShown = false;
    std::int64_t m_lastDrawMs = -1;
    Figures m_figures;
};

} // namespace vh::cli
