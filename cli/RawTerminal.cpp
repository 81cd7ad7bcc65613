#include "cli/RawTerminal.h"

#include <termios.h>
#include <unistd.h>

namespace vh::cli {

struct RawTerminal::Saved
{
    termios settings{};
};

RawTerminal::RawTerminal(int fd, Mode mode) : m_fd(fd)
{
    termios t{};
    if (!::isatty(fd) || tcgetattr(fd, &t) != 0)
        return;
    auto saved = std::make_unique<Saved>();
    saved->settings = t;
    if (mode == Mode::Full) {
        cfmakeraw(&t);
    } else {
        t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
        t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    }
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        return;
    m_saved = std::move(saved);
}

RawTerminal::~RawTerminal()
{
    Restore();
}

bool RawTerminal::Active() const
{
    return m_saved != nullptr;
}

void RawTerminal::Restore()
{
    if (!m_saved)
        return;
    // At once: output held back by flow control must not keep the program from
    // ending.
    tcsetattr(m_fd, TCSANOW, &m_saved->settings);
    m_saved.reset();
}

} // namespace vh::cli
