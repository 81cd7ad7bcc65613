// The terminal's screen model: the received byte stream goes in, a grid of
// character cells with colours and attributes, a cursor, the changed rows
// and the bells come out; keys go in and the bytes the far side expects for
// them come out.
//
// The escape sequences are understood by a kept terminal library; this class
// is the only one that sees it, so nothing above it depends on its API. The
// library is given only what TerminalInputFilter lets through, since it
// trusts its input and a host may send anything.
// Everything is push-driven: Feed() may be given the stream in pieces of any
// size, split anywhere, and the result is the same as for one piece.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace vh {

// A colour as the far side asked for it. Indexed colours 0..15 are the
// sixteen ANSI colours, 16..255 the xterm colour cube and grey ramp.
struct TerminalColor
{
    enum Kind : std::uint8_t
    {
        Default, // the area's own text or background colour
        Indexed,
        Rgb
    };
    Kind kind = Default;
    std::uint8_t index = 0;
    std::uint8_t red = 0, green = 0, blue = 0;

    friend bool operator==(const TerminalColor&, const TerminalColor&) = default;
};

struct TerminalCell
{
    enum Attribute : std::uint8_t
    {
        Bold = 1,
        Underline = 2,
        Italic = 4,
        Blink = 8,
        Reverse = 16,
        Strike = 32
    };
    // The character; 0 for an empty cell.
    char32_t ch = 0;
    // 1; 2 for the left half of a wide character, 0 for its right half.
    std::uint8_t width = 1;
    std::uint8_t attributes = 0;
    TerminalColor foreground;
    TerminalColor background;

    bool Has(Attribute a) const { return (attributes & a) != 0; }
    friend bool operator==(const TerminalCell&, const TerminalCell&) = default;
};

struct TerminalCursor
{
    int row = 0;
    int column = 0;
    bool visible = true;
};

// Keys that are not text.
enum class TerminalKey
{
    Enter,
    Tab,
    Backspace,
    Escape,
    Up,
    Down,
    Left,
    Right,
    Insert,
    Delete,
    Home,
    End,
    PageUp,
    PageDown,
    F1,
    F2,
    F3,
    F4,
    F5,
    F6,
    F7,
    F8,
    F9,
    F10,
    F11,
    F12
};

enum TerminalModifier : int
{
    NoModifier = 0,
    ShiftModifier = 1,
    AltModifier = 2,
    ControlModifier = 4
};

class TerminalScreen
{
public:
    // The lines scrolled off the top that are kept, oldest dropped first.
    static constexpr int kScrollbackLimit = 10000;
    // Sizes beyond these are clamped: a screen of cells must stay small
    // whatever a window or a caller asks for.
    // A screen is at least two columns wide and two rows high: the library
    // cannot place a wide character on a screen of one column, nor erase on
    // one of one row after a resize, and crashes trying to.
    static constexpr int kMinColumns = 2;
    static constexpr int kMinRows = 2;
    static constexpr int kMaxColumns = 500;
    static constexpr int kMaxRows = 300;

    TerminalScreen(int columns, int rows, int scrollbackLimit = kScrollbackLimit);
    ~TerminalScreen();
    TerminalScreen(const TerminalScreen&) = delete;
    TerminalScreen& operator=(const TerminalScreen&) = delete;

    // Received bytes, UTF-8 (the window decodes other code pages before).
    void Feed(const char* bytes, std::size_t size);
    void Feed(const QByteArray& bytes) { Feed(bytes.constData(), std::size_t(bytes.size())); }

    int Columns() const { return m_columns; }
    int Rows() const { return m_rows; }
    // Changes the size; lines pushed off by a smaller screen go to the
    // scrollback, and come back when it grows again.
    void Resize(int columns, int rows);
    // Back to the power-on state with the scrollback emptied.
    void Reset();

    // Rows 0..Rows()-1 are the screen; -1 down to -ScrollbackLines() are the
    // scrollback, -1 the newest. Outside either: an empty cell.
    int ScrollbackLines() const;
    TerminalCell Cell(int row, int column) const;
    // The row's characters with trailing blanks removed (wide characters
    // once, empty cells as spaces).
    QString RowText(int row) const;

    TerminalCursor Cursor() const { return m_cursor; }
    bool AlternateScreen() const { return m_alternateScreen; }

    // Screen rows changed since the last call, as [first, last] (first > last
    // when none). Scrolling marks the whole screen.
    std::pair<int, int> TakeDamage();
    // Bells rung since the last call.
    int TakeBells();
    // What the terminal itself answered to the far side's queries (cursor
    // position, device attributes) since the last call; the caller sends it.
    QByteArray TakeReplies();

    // The bytes a key sends, honouring the modes the far side set
    // (application cursor keys among them). Enter gives CR; the window
    // decides what Enter really sends.
    QByteArray EncodeKey(TerminalKey key, int modifiers);
    // The bytes of a character typed with Control or Alt (Ctrl+C is 0x03,
    // Alt+x is ESC x). Plain text is encoded by the caller in the far side's
    // code page.
    QByteArray EncodeCharacter(char32_t ch, int modifiers);
    // Pasted text framed for a far side that asked for bracketed paste.
    QByteArray EncodePaste(const QByteArray& text);

private:
    struct Library;
    friend struct Library;
    void MarkRows(int first, int last);

    std::unique_ptr<Library> m_library;
    int m_columns;
    int m_rows;
    TerminalCursor m_cursor;
    bool m_alternateScreen = false;
    int m_damageFirst;
    int m_damageLast;
    int m_bells = 0;
};

} // namespace vh
