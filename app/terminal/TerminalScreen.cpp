#include "app/terminal/TerminalScreen.h"

#include "app/terminal/TerminalInputFilter.h"

#include <vterm.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

namespace vh {

namespace {

TerminalColor FromLibrary(const VTermColor& color)
{
    TerminalColor out;
    if (VTERM_COLOR_IS_DEFAULT_FG(&color) || VTERM_COLOR_IS_DEFAULT_BG(&color))
        return out;
    if (VTERM_COLOR_IS_INDEXED(&color)) {
        out.kind = TerminalColor::Indexed;
        out.index = color.indexed.idx;
    } else {
        out.kind = TerminalColor::Rgb;
        out.red = color.rgb.red;
        out.green = color.rgb.green;
        out.blue = color.rgb.blue;
    }
    return out;
}

TerminalCell FromLibrary(const VTermScreenCell& cell)
{
    TerminalCell out;
    // A cell that holds no character reads as (uint32_t)-1 on the right half
    // of a wide character and as 0 when empty.
    const std::uint32_t ch = cell.chars[0];
    out.ch = ch == 0xFFFFFFFFu ? 0 : char32_t(ch);
    out.width = std::uint8_t(std::clamp<int>(cell.width, 1, 2));
    std::uint8_t a = 0;
    if (cell.attrs.bold)
        a |= TerminalCell::Bold;
    if (cell.attrs.underline)
        a |= TerminalCell::Underline;
    if (cell.attrs.italic)
        a |= TerminalCell::Italic;
    if (cell.attrs.blink)
        a |= TerminalCell::Blink;
    if (cell.attrs.reverse)
        a |= TerminalCell::Reverse;
    if (cell.attrs.strike)
        a |= TerminalCell::Strike;
    out.attributes = a;
    out.foreground = FromLibrary(cell.fg);
    out.background = FromLibrary(cell.bg);
    return out;
}

bool IsBlank(const TerminalCell& cell)
{
    return cell.ch == 0 && cell.attributes == 0 && cell.background.kind == TerminalColor::Default;
}

VTermKey ToLibrary(TerminalKey key)
{
    switch (key) {
    case TerminalKey::Enter:
        return VTERM_KEY_ENTER;
    case TerminalKey::Tab:
        return VTERM_KEY_TAB;
    case TerminalKey::Backspace:
        return VTERM_KEY_BACKSPACE;
    case TerminalKey::Escape:
        return VTERM_KEY_ESCAPE;
    case TerminalKey::Up:
        return VTERM_KEY_UP;
    case TerminalKey::Down:
        return VTERM_KEY_DOWN;
    case TerminalKey::Left:
        return VTERM_KEY_LEFT;
    case TerminalKey::Right:
        return VTERM_KEY_RIGHT;
    case TerminalKey::Insert:
        return VTERM_KEY_INS;
    case TerminalKey::Delete:
        return VTERM_KEY_DEL;
    case TerminalKey::Home:
        return VTERM_KEY_HOME;
    case TerminalKey::End:
        return VTERM_KEY_END;
    case TerminalKey::PageUp:
        return VTERM_KEY_PAGEUP;
    case TerminalKey::PageDown:
        return VTERM_KEY_PAGEDOWN;
    default:
        break;
    }
    return VTermKey(VTERM_KEY_FUNCTION(int(key) - int(TerminalKey::F1) + 1));
}

VTermModifier ToLibrary(int modifiers)
{
    int mod = VTERM_MOD_NONE;
    if (modifiers & ShiftModifier)
        mod |= VTERM_MOD_SHIFT;
    if (modifiers & AltModifier)
        mod |= VTERM_MOD_ALT;
    if (modifiers & ControlModifier)
        mod |= VTERM_MOD_CTRL;
    return VTermModifier(mod);
}

} // namespace

struct TerminalScreen::Library
{
    explicit Library(TerminalScreen& owner, int columns, int rows, int scrollbackLimit)
        : owner(owner), limit(std::max(0, scrollbackLimit)), vt(vterm_new(rows, columns))
    {
        vterm_set_utf8(vt, 1);
        vterm_output_set_callback(vt, &Library::Output, this);
        screen = vterm_obtain_screen(vt);
        static const VTermScreenCallbacks callbacks = {
            &Library::Damage, &Library::MoveRect, &Library::MoveCursor, &Library::SetTermProp, &Library::Bell,
            nullptr,          &Library::PushLine, &Library::PopLine,
        };
        vterm_screen_set_callbacks(screen, &callbacks, this);
        vterm_screen_enable_altscreen(screen, 1);
        vterm_screen_reset(screen, 1);
    }
    ~Library() { vterm_free(vt); }

    static void Output(const char* s, size_t len, void* user)
    {
        auto* self = static_cast<Library*>(user);
        (self->capturing ? self->captured : self->replies).append(s, qsizetype(len));
    }
    static int Damage(VTermRect rect, void* user)
    {
        static_cast<Library*>(user)->owner.MarkRows(rect.start_row, rect.end_row - 1);
        return 1;
    }
    static int MoveRect(VTermRect dest, VTermRect src, void* user)
    {
        auto& owner = static_cast<Library*>(user)->owner;
        owner.MarkRows(std::min(dest.start_row, src.start_row), std::max(dest.end_row, src.end_row) - 1);
        return 1;
    }
    static int MoveCursor(VTermPos pos, VTermPos oldpos, int visible, void* user)
    {
        auto& owner = static_cast<Library*>(user)->owner;
        // The library can report a column of -1 for a moment (a next-line
        // control right after a wrapped row); the cursor we show and draw
        // at is always a cell of the screen.
        owner.m_cursor.row = std::clamp(pos.row, 0, owner.m_rows - 1);
        owner.m_cursor.column = std::clamp(pos.col, 0, owner.m_columns - 1);
        owner.m_cursor.visible = visible != 0;
        owner.MarkRows(oldpos.row, oldpos.row);
        owner.MarkRows(pos.row, pos.row);
        return 1;
    }
    static int SetTermProp(VTermProp prop, VTermValue* value, void* user)
    {
        auto& owner = static_cast<Library*>(user)->owner;
        switch (prop) {
        case VTERM_PROP_CURSORVISIBLE:
            owner.m_cursor.visible = value->boolean != 0;
            owner.MarkRows(owner.m_cursor.row, owner.m_cursor.row);
            break;
        case VTERM_PROP_ALTSCREEN:
            owner.m_alternateScreen = value->boolean != 0;
            owner.MarkRows(0, owner.m_rows - 1);
            break;
        default:
            break;
        }
        return 1;
    }
    static int Bell(void* user)
    {
        ++static_cast<Library*>(user)->owner.m_bells;
        return 1;
    }
    static int PushLine(int cols, const VTermScreenCell* cells, void* user)
    {
        auto* self = static_cast<Library*>(user);
        if (self->limit == 0)
            return 1;
        std::vector<TerminalCell> line;
        line.reserve(std::size_t(cols));
        for (int c = 0; c < cols; ++c)
            line.push_back(FromLibrary(cells[c]));
        for (int c = 1; c < cols; ++c)
            if (line[std::size_t(c - 1)].width == 2)
                line[std::size_t(c)] =
                    TerminalCell{0, 0, line[std::size_t(c - 1)].attributes,
                                 line[std::size_t(c - 1)].foreground, line[std::size_t(c - 1)].background};
        // Trailing blanks cost memory over a day-long session and carry
        // nothing; an empty cell reads back the same.
        while (!line.empty() && IsBlank(line.back()))
            line.pop_back();
        line.shrink_to_fit();
        self->scrollback.push_back(std::move(line));
        if (int(self->scrollback.size()) > self->limit)
            self->scrollback.pop_front();
        return 1;
    }
    static int PopLine(int cols, VTermScreenCell* cells, void* user)
    {
        auto* self = static_cast<Library*>(user);
        if (self->scrollback.empty())
            return 0;
        const std::vector<TerminalCell> line = std::move(self->scrollback.back());
        self->scrollback.pop_back();
        VTermColor defaultFg, defaultBg;
        vterm_state_get_default_colors(vterm_obtain_state(self->vt), &defaultFg, &defaultBg);
        for (int c = 0; c < cols; ++c) {
            VTermScreenCell& out = cells[c];
            out = VTermScreenCell{};
            TerminalCell in = c < int(line.size()) ? line[std::size_t(c)] : TerminalCell{};
            // A line kept from a wider screen may be cut through a wide
            // character: half of one goes back as a blank, since the
            // library cannot hold a wide character without both halves.
            const bool cutStart = in.width == 2 && c == cols - 1;
            const bool cutEnd = in.width == 0 && (c == 0 || cells[c - 1].width != 2);
            if (cutStart || cutEnd)
                in = TerminalCell{0, 1, in.attributes, in.foreground, in.background};
            out.chars[0] = in.width == 0 ? 0xFFFFFFFFu : std::uint32_t(in.ch);
            out.width = char(in.width == 0 ? 1 : in.width);
            out.attrs.bold = in.Has(TerminalCell::Bold);
            out.attrs.underline = in.Has(TerminalCell::Underline) ? VTERM_UNDERLINE_SINGLE : 0;
            out.attrs.italic = in.Has(TerminalCell::Italic);
            out.attrs.blink = in.Has(TerminalCell::Blink);
            out.attrs.reverse = in.Has(TerminalCell::Reverse);
            out.attrs.strike = in.Has(TerminalCell::Strike);
            out.fg = ToLibrary(in.foreground, defaultFg);
            out.bg = ToLibrary(in.background, defaultBg);
        }
        return 1;
    }
    static VTermColor ToLibrary(const TerminalColor& color, const VTermColor& fallback)
    {
        VTermColor out = fallback;
        if (color.kind == TerminalColor::Indexed)
            vterm_color_indexed(&out, color.index);
        else if (color.kind == TerminalColor::Rgb)
            vterm_color_rgb(&out, color.red, color.green, color.blue);
        return out;
    }

    void Write(const char* bytes, std::size_t size)
    {
        while (size > 0) {
            const std::size_t taken = vterm_input_write(vt, bytes, size);
            if (taken == 0)
                break;
            bytes += taken;
            size -= taken;
        }
    }
    // The library can leave the cursor off a smaller screen (a row of -1
    // when it pushed lines to the scrollback, or a position saved on a larger
    // screen and restored), where the next erase writes through a null
    // pointer: it is moved back onto the screen.
    void KeepCursorOnScreen(int rows, int columns)
    {
        const VTermPos cursor = CursorPosition();
        if (cursor.row < 0 || cursor.row >= rows || cursor.col < 0 || cursor.col >= columns)
            MoveCursor(cursor, rows, columns);
    }
    VTermPos CursorPosition() const
    {
        VTermPos cursor;
        vterm_state_get_cursorpos(vterm_obtain_state(vt), &cursor);
        return cursor;
    }
    // Where `to` is, or the nearest place on the screen.
    void MoveCursor(VTermPos to, int rows, int columns)
    {
        const QByteArray move = "\x1b[" + QByteArray::number(std::clamp(to.row, 0, rows - 1) + 1) + ';' +
                                QByteArray::number(std::clamp(to.col, 0, columns - 1) + 1) + 'H';
        Write(move.constData(), std::size_t(move.size()));
    }

    QByteArray Capture(const std::function<void()>& send)
    {
        capturing = true;
        captured.clear();
        send();
        capturing = false;
        return std::exchange(captured, QByteArray());
    }

    TerminalScreen& owner;
    int limit;
    VTerm* vt;
    VTermScreen* screen = nullptr;
    std::deque<std::vector<TerminalCell>> scrollback;
    bool capturing = false;
    QByteArray captured;
    QByteArray replies;
    TerminalInputFilter filter;
    QByteArray mended;               // what the filter passed on, kept to reuse its buffer
    std::vector<qsizetype> restores; // where in it the cursor was restored
};

TerminalScreen::TerminalScreen(int columns, int rows, int scrollbackLimit)
    : m_columns(std::clamp(columns, kMinColumns, kMaxColumns)), m_rows(std::clamp(rows, kMinRows, kMaxRows))
{
    m_damageFirst = 0;
    m_damageLast = m_rows - 1;
    m_library = std::make_unique<Library>(*this, m_columns, m_rows, scrollbackLimit);
}

TerminalScreen::~TerminalScreen() = default;

void TerminalScreen::MarkRows(int first, int last)
{
    first = std::max(first, 0);
    last = std::min(last, m_rows - 1);
    if (first > last)
        return;
    if (m_damageFirst > m_damageLast) {
        m_damageFirst = first;
        m_damageLast = last;
        return;
    }
    m_damageFirst = std::min(m_damageFirst, first);
    m_damageLast = std::max(m_damageLast, last);
}

void TerminalScreen::Feed(const char* bytes, std::size_t size)
{
    QByteArray& mended = m_library->mended;
    std::vector<qsizetype>& restores = m_library->restores;
    mended.clear();
    restores.clear();
    m_library->filter.Push(bytes, size, mended, &restores);
    // A sequence that puts the cursor back where it was saved may put it off
    // a screen made smaller since: the cursor is checked after each.
    qsizetype start = 0;
    for (const qsizetype end : restores) {
        m_library->Write(mended.constData() + start, std::size_t(end - start));
        m_library->KeepCursorOnScreen(m_rows, m_columns);
        start = end;
    }
    m_library->Write(mended.constData() + start, std::size_t(mended.size() - start));
    vterm_screen_flush_damage(m_library->screen);
}

void TerminalScreen::Resize(int columns, int rows)
{
    columns = std::clamp(columns, kMinColumns, kMaxColumns);
    rows = std::clamp(rows, kMinRows, kMaxRows);
    if (columns == m_columns && rows == m_rows)
        return;
    const bool fewerRows = rows < m_rows;
    m_columns = columns;
    m_rows = rows;
    vterm_set_size(m_library->vt, rows, columns);
    if (fewerRows) {
        // The library keeps a scrolling region that the smaller screen no
        // longer has, and scrolls past its rows with it; the region goes
        // back to the whole screen, with the cursor kept where it is (moved
        // back by hand: saving it would lose what the host saved).
        const VTermPos cursor = m_library->CursorPosition();
        static const char fullRegion[] = "\x1b[r";
        m_library->Write(fullRegion, sizeof fullRegion - 1);
        m_library->MoveCursor(cursor, rows, columns);
    }
    m_library->KeepCursorOnScreen(rows, columns);
    vterm_screen_flush_damage(m_library->screen);
    m_cursor.row = std::min(m_cursor.row, rows - 1);
    m_cursor.column = std::min(m_cursor.column, columns - 1);
    // The whole screen is drawn again, and only it: rows marked before that
    // a smaller screen no longer has must not be asked for.
    m_damageFirst = 0;
    m_damageLast = rows - 1;
}

void TerminalScreen::Reset()
{
    m_library->scrollback.clear();
    m_library->replies.clear();
    m_library->filter.Reset();
    vterm_screen_reset(m_library->screen, 1);
    m_alternateScreen = false;
    m_cursor = TerminalCursor{};
    MarkRows(0, m_rows - 1);
}

int TerminalScreen::ScrollbackLines() const
{
    return int(m_library->scrollback.size());
}

TerminalCell TerminalScreen::Cell(int row, int column) const
{
    if (column < 0)
        return {};
    if (row < 0) {
        const int index = int(m_library->scrollback.size()) + row;
        if (index < 0)
            return {};
        const std::vector<TerminalCell>& line = m_library->scrollback[std::size_t(index)];
        return column < int(line.size()) ? line[std::size_t(column)] : TerminalCell{};
    }
    if (row >= m_rows || column >= m_columns)
        return {};
    VTermScreenCell cell;
    if (!vterm_screen_get_cell(m_library->screen, VTermPos{row, column}, &cell))
        return {};
    TerminalCell out = FromLibrary(cell);
    if (column > 0 && out.ch == 0) {
        VTermScreenCell left;
        if (vterm_screen_get_cell(m_library->screen, VTermPos{row, column - 1}, &left) && left.width == 2)
            out.width = 0;
    }
    return out;
}

namespace {

void AppendCharacter(QString& text, char32_t ch)
{
    if (ch == 0)
        text += QLatin1Char(' ');
    else if (ch < 0xD800 || (ch >= 0xE000 && ch < 0x10000))
        text += QChar(char16_t(ch));
    else
        text += QString::fromUcs4(&ch, 1);
}

} // namespace

// As Cell() reads it, a cell at a time, but each cell is asked of the library
// once: the text of every row is what copying the whole screen and the
// scrollback takes.
QString TerminalScreen::RowText(int row) const
{
    QString text;
    if (row < 0) {
        const int index = int(m_library->scrollback.size()) + row;
        if (index < 0)
            return text;
        const std::vector<TerminalCell>& line = m_library->scrollback[std::size_t(index)];
        text.reserve(qsizetype(line.size()));
        for (const TerminalCell& cell : line)
            if (cell.width != 0)
                AppendCharacter(text, cell.ch);
    } else if (row < m_rows) {
        text.reserve(m_columns);
        int leftWidth = 0;
        for (int c = 0; c < m_columns; ++c) {
            VTermScreenCell cell;
            if (!vterm_screen_get_cell(m_library->screen, VTermPos{row, c}, &cell)) {
                text += QLatin1Char(' ');
                leftWidth = 0;
                continue;
            }
            const char32_t ch = cell.chars[0] == 0xFFFFFFFFu ? 0 : char32_t(cell.chars[0]);
            if (!(ch == 0 && leftWidth == 2))
                AppendCharacter(text, ch);
            leftWidth = cell.width;
        }
    }
    while (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

std::pair<int, int> TerminalScreen::TakeDamage()
{
    const std::pair<int, int> damage{m_damageFirst, m_damageLast};
    m_damageFirst = 0;
    m_damageLast = -1;
    return damage;
}

int TerminalScreen::TakeBells()
{
    return std::exchange(m_bells, 0);
}

QByteArray TerminalScreen::TakeReplies()
{
    return std::exchange(m_library->replies, QByteArray());
}

QByteArray TerminalScreen::EncodeKey(TerminalKey key, int modifiers)
{
    // Backspace sends BS, as the window always has and as our Windows peers
    // expect; Control+Backspace gives DEL for a Unix host's line discipline
    // whose erase character is DEL (shells take either).
    if (key == TerminalKey::Backspace)
        return (modifiers & ControlModifier) ? QByteArray("\x7f") : QByteArray("\b");
    return m_library->Capture(
        [&] { vterm_keyboard_key(m_library->vt, ToLibrary(key), ToLibrary(modifiers)); });
}

QByteArray TerminalScreen::EncodeCharacter(char32_t ch, int modifiers)
{
    return m_library->Capture(
        [&] { vterm_keyboard_unichar(m_library->vt, std::uint32_t(ch), ToLibrary(modifiers)); });
}

QByteArray TerminalScreen::EncodePaste(const QByteArray& text)
{
    const QByteArray start = m_library->Capture([&] { vterm_keyboard_start_paste(m_library->vt); });
    const QByteArray end = m_library->Capture([&] { vterm_keyboard_end_paste(m_library->vt); });
    return start + text + end;
}

} // namespace vh
