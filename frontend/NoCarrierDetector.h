// Finds the modem's "NO CARRIER" report in the text that reaches the
// terminal.
//
// Only the chunks handed to Feed are searched: the terminal feeds what its
// receive handler gets, so bytes that went to a file transfer are never
// seen. The last few bytes of one chunk are kept, so that the words split
// between two chunks are still found; once found, they are forgotten, so one
// report hangs up once. Reset forgets everything (a new connection).
#pragma once

#include <QByteArray>

namespace vh {

class NoCarrierDetector
{
public:
    // True when "NO CARRIER" (upper case exactly) ends in this chunk.
    bool Feed(const char* data, int size);
    void Reset() { m_tail.clear(); }

    static const QByteArray& Pattern();

private:
    QByteArray m_tail; // at most Pattern().size() - 1 bytes
};

} // namespace vh
