// The filter in front of the terminal library, given any bytes: what it
// passes on is valid UTF-8 without NUL or DEL, is already what the filter
// itself would pass on (so every sequence in it is whole and within its
// limits), and is the same whether the stream comes whole or in pieces.
//
// Input: a byte giving the size of the pieces (0: one byte at a time), then
// the stream.
#include "FuzzSupport.h"

#include "app/terminal/TerminalInputFilter.h"

#include <QByteArray>
#include <QString>

#include <algorithm>

namespace {

using qv::fuzz::Check;
using qv::fuzz::FuzzInput;
using vh::TerminalInputFilter;

QByteArray Filtered(const char* data, std::size_t size, std::size_t piece)
{
    TerminalInputFilter filter;
    QByteArray out;
    for (std::size_t at = 0; at < size; at += piece)
        filter.Push(data + at, std::min(piece, size - at), out);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::size_t piece = input.Byte();
    const std::uint8_t* rest = nullptr;
    const std::size_t n = input.Rest(rest);
    const char* stream = reinterpret_cast<const char*>(rest);

    const QByteArray whole = Filtered(stream, n, n == 0 ? 1 : n);
    Check(Filtered(stream, n, piece == 0 ? 1 : piece) == whole, "a stream in pieces passes the same");
    Check(QString::fromUtf8(whole).toUtf8() == whole, "what passes is valid UTF-8");
    Check(!whole.contains('\0') && !whole.contains('\x7f'), "NUL and DEL are left out");
    Check(Filtered(whole.constData(), std::size_t(whole.size()), std::size_t(whole.size()) + 1) == whole,
          "what passes is whole and well-formed");
    return 0;
}
