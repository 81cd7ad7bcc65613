// What a host sends to the terminal, from a hostile or broken far side: the
// screen takes any bytes in any code page, in pieces of any size, with the
// window resized and keys typed in between, and keeps its promises: the
// cursor and the changed rows stay on the screen, the scrollback within its
// limit, and a stream cut anywhere draws the same screen as the stream whole.
//
// Input: a byte of code page, then operations, each a byte of kind and its
// arguments; a feed operation's bytes are also drawn whole on a second screen.
#include "FuzzSupport.h"

#include "app/terminal/TerminalCodec.h"
#include "app/terminal/TerminalInputFilter.h"
#include "app/terminal/TerminalScreen.h"

#include <QByteArray>
#include <QString>

namespace {

using qv::fuzz::Check;
using qv::fuzz::FuzzInput;
using vh::TerminalCodec;
using vh::TerminalInputFilter;
using vh::TerminalScreen;

constexpr int kScrollback = 100;

void CheckState(TerminalScreen& screen)
{
    const int rows = screen.Rows(), columns = screen.Columns();
    Check(rows >= TerminalScreen::kMinRows && rows <= TerminalScreen::kMaxRows &&
              columns >= TerminalScreen::kMinColumns && columns <= TerminalScreen::kMaxColumns,
          "the size stays within its limits");
    const vh::TerminalCursor cursor = screen.Cursor();
    Check(cursor.row >= 0 && cursor.row < rows && cursor.column >= 0 && cursor.column < columns,
          "the cursor is on the screen");
    const auto [first, last] = screen.TakeDamage();
    Check(first > last || (first >= 0 && last < rows), "changed rows are rows of the screen");
    Check(screen.ScrollbackLines() >= 0 && screen.ScrollbackLines() <= kScrollback,
          "the scrollback keeps its limit");
    screen.RowText(cursor.row);
    screen.RowText(-1);
    screen.Cell(cursor.row, cursor.column);
}

// Everything the window draws from: every row's text and the cursor.
QByteArray Picture(const TerminalScreen& screen)
{
    QByteArray picture;
    for (int row = -screen.ScrollbackLines(); row < screen.Rows(); ++row)
        picture += screen.RowText(row).toUtf8() + '\n';
    const vh::TerminalCursor cursor = screen.Cursor();
    picture += QByteArray::number(cursor.row) + ',' + QByteArray::number(cursor.column);
    return picture;
}

// Whether what the library is given for a piece begins with a character it
// gives no width and joins to the character before it: a combining mark, a
// format character (the Persian zero-width non-joiner among them) or a
// Hangul vowel or final consonant. The piece itself need not begin with one:
// the rest of an escape sequence that a character cuts short comes before it.
bool StartsWithAZeroWidthCharacter(const QByteArray& given)
{
    const QString text = QString::fromUtf8(given.first(std::min<qsizetype>(given.size(), 4)));
    if (text.isEmpty())
        return false;
    const QChar ch = text.front();
    switch (ch.category()) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
    case QChar::Other_Format:
        return true;
    default:
        return ch.unicode() >= 0x1160 && ch.unicode() <= 0x11FF;
    }
}

// A size to resize to: mostly what windows have, now and then one below 1
// or past the limit. Every size near the limit costs megabytes of cells, so
// they stay rare to keep each input quick.
int SizeFrom(std::uint8_t b, int usual)
{
    if (b < 4)
        return int(b) - 3;
    if (b == 0xFF)
        return usual == 132 ? TerminalScreen::kMaxColumns + 8 : TerminalScreen::kMaxRows + 8;
    return 1 + b % usual;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const TerminalCodec codec(vh::kCodePages[input.Byte() % vh::kCodePages.size()]);
    TerminalScreen screen(80, 24, kScrollback);
    TerminalScreen whole(80, 24, kScrollback);
    QByteArray stream;
    // The screen's own filter, kept in step, shows what the library is given.
    TerminalInputFilter filter;
    QByteArray given;
    bool resized = false;
    bool zeroWidthStartsAPiece = false;
    int operations = 0;
    while (!input.Empty() && ++operations <= 64) {
        const std::uint8_t op = input.Byte();
        switch (op & 7) {
        case 4: {
            const int columns = SizeFrom(input.Byte(), 132), rows = SizeFrom(input.Byte(), 60);
            screen.Resize(columns, rows);
            resized = true;
            break;
        }
        case 5: {
            const QByteArray sent =
                screen.EncodeKey(vh::TerminalKey(input.Byte() % (int(vh::TerminalKey::F12) + 1)), op >> 5);
            Check(!sent.isEmpty() && sent.size() <= 16, "a key sends a short sequence");
            break;
        }
        case 6: {
            const QByteArray replies = screen.TakeReplies();
            Check(screen.TakeReplies().isEmpty(), "replies are taken once");
            screen.EncodeCharacter(char32_t(input.Word()), op >> 5);
            break;
        }
        case 7:
            if (op == 0xFF) {
                screen.Reset();
                filter.Reset();
                stream.clear();
                resized = true;
            }
            break;
        default: {
            const std::uint8_t* chunk = nullptr;
            const std::size_t n = input.Chunk(std::size_t(op >> 2) * 8 + 1, chunk);
            const QByteArray bytes =
                codec.ToScreen(QByteArray::fromRawData(reinterpret_cast<const char*>(chunk), qsizetype(n)));
            screen.Feed(bytes.constData(), std::size_t(bytes.size()));
            stream += bytes;
            given.clear();
            filter.Push(bytes.constData(), std::size_t(bytes.size()), given);
            zeroWidthStartsAPiece = zeroWidthStartsAPiece || StartsWithAZeroWidthCharacter(given);
            break;
        }
        }
        CheckState(screen);
    }
    // Resizes and a reset change what is drawn; without them the pieces must
    // draw what the whole stream draws. Bytes that are not UTF-8 are left
    // out: the library shows them as it sees them, and where a read ends
    // still changes that. So is a zero-width character that begins what the
    // library is given for a piece: when the character before it filled the
    // last column, the library wraps before it instead of joining the two (a
    // known limit of the library, which costs a misplaced accent, or a line
    // break early by the width of nothing, never a fault).
    if (!resized && !zeroWidthStartsAPiece && QUtf8StringView(stream).isValidUtf8()) {
        whole.Feed(stream);
        Check(Picture(whole) == Picture(screen), "a stream cut anywhere draws the same screen");
    }
    return 0;
}
