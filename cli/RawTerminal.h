// A terminal the program uses raw for a while: its settings are kept when
// it is taken and given back, however the program ends normally (the
// destructor, or Restore from the code that handles a signal).
#pragma once

#include <memory>

namespace vh::cli {

class RawTerminal
{
public:
    enum class Mode
    {
        // What is typed goes through as it is (no line editing, no echo, no
        // signal keys, no CR to LF); output is left as it was, so that the
        // program's messages still start on a new line.
        Input,
        // Every byte through unchanged both ways, for a binary transfer.
        Full,
    };

    // Nothing happens when `fd` is not a terminal.
    RawTerminal(int fd, Mode mode);
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

    bool Active() const;
    // The terminal as it was.
    void Restore();

private:
    struct Saved;
    int m_fd;
    std::unique_ptr<Saved> m_saved;
};

} // namespace vh::cli
