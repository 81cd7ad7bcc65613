// The filter in front of the terminal library, given any bytes: what it
// passes on is valid UTF-8 without NUL or DEL, is already what the filter
// itself would pass on (so every sequence in it is whole and within its
// limits), and is the same whether the stream comes whole or in pieces, as
// are the places where it says the cursor was put back.
//
// Input: a byte giving the size of the pieces (0: one byte at a time), then
// the stream.
#include "FuzzSupport.h"

#include "app/terminal/TerminalInputFilter.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <vector>

namespace {

using qv::fuzz::Check;
using qv::fuzz::FuzzInput;
using vh::TerminalInputFilter;

QByteArray Filtered(const char* data, std::size_t size, std::size_t piece,
                    std::vector<qsizetype>* restores = nullptr)
{
    TerminalInputFilter filter;
    QByteArray out;
    for (std::size_t at = 0; at < size; at += piece)
        filter.Push(data + at, std::min(piece, size - at), out, restores);
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

    std::vector<qsizetype> restores, restoresInPieces;
    const QByteArray whole = Filtered(stream, n, n == 0 ? 1 : n, &restores);
    Check(Filtered(stream, n, piece == 0 ? 1 : piece, &restoresInPieces) == whole &&
              restoresInPieces == restores,
          "a stream in pieces passes the same");
    for (std::size_t i = 0; i < restores.size(); ++i)
        Check(restores[i] > 0 && restores[i] <= whole.size() && (i == 0 || restores[i] > restores[i - 1]) &&
                  QByteArray("8uhl").contains(whole[restores[i] - 1]),
              "the cursor is put back where a sequence ends");
    // (Not through QString, which drops a byte-order mark at the start.)
    Check(QUtf8StringView(whole).isValidUtf8(), "what passes is valid UTF-8");
    Check(!whole.contains('\0') && !whole.contains('\x7f'), "NUL and DEL are left out");
    Check(Filtered(whole.constData(), std::size_t(whole.size()), std::size_t(whole.size()) + 1) == whole,
          "what passes is whole and well-formed");
    return 0;
}
