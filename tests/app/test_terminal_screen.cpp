// The terminal's screen model fed with what real hosts send: a shell prompt,
// a full-screen program, a BBS menu in the PC code page; every sample also
// split at each byte, which must give the very same screen.
#include "app/terminal/TerminalCodec.h"
#include "app/terminal/TerminalInputFilter.h"
#include "app/terminal/TerminalScreen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vh {
namespace {

// A bash prompt as a Debian host's .bashrc draws it: bracketed paste on, the
// window title (swallowed), then a green bold user@host and a blue bold folder.
const QByteArray kBashPrompt = "\x1b[?2004h\x1b]0;op@debian: ~/src\x07"
                               "\x1b[01;32mop@debian\x1b[00m:\x1b[01;34m~/src\x1b[00m$ ";

// What `top -n1` sends to an xterm: alternate screen, application cursor
// keys, the header, a reverse-video column title, a process line; then the
// screen restored.
const QByteArray kTopStart =
    "\x1b[?1049h\x1b[22;0;0t\x1b[1;24r\x1b(B\x1b[m\x1b[4l\x1b[?7h\x1b[?1h\x1b=\x1b[?25l"
    "\x1b[H\x1b[2J\x1b(B\x1b[mtop - 10:21:03 up 3 days,  1 user,  load average: 0.08, 0.03, "
    "0.01\x1b(B\x1b[m\x1b[39;49m\x1b[K\r\n"
    "Tasks:\x1b(B\x1b[m\x1b[39;49m\x1b[1m 112 \x1b(B\x1b[m\x1b[39;49mtotal\x1b(B\x1b[m\x1b[39;49m\x1b[K\r\n"
    "\x1b[4;1H\x1b[7m    PID USER      PR  NI    VIRT    RES  %CPU COMMAND           "
    "\x1b(B\x1b[m\x1b[39;49m\x1b[K\r\n"
    "\x1b(B\x1b[m\x1b[1m   4242 op        20   0   10360   3864   6.2 top              "
    "\x1b(B\x1b[m\x1b[39;49m\x1b[K";
const QByteArray kTopEnd = "\x1b[?25h\x1b[24;1H\x1b[?1l\x1b>\x1b[?1049l\x1b[23;0;0t";

// A BBS main menu in CP437: double-line box in bright yellow on blue.
const QByteArray kBbsMenu = "\x1b[2J\x1b[1;1H\x1b[1;33;44m\xc9\xcd\xcd\xcd\xcd\xcd\xcd\xbb\x1b[0m\r\n"
                            "\x1b[1;33;44m\xba MAIN \xba\x1b[0m\r\n"
                            "\x1b[1;33;44m\xc8\xcd\xcd\xcd\xcd\xcd\xcd\xbc\x1b[0m\r\n"
                            "\x1b[5;3H\x1b[36m[M]\x1b[37messages";

struct Snapshot
{
    std::vector<std::vector<TerminalCell>> cells;
    int cursorRow, cursorColumn;
    bool cursorVisible, alternate;
    int scrollback;
    bool operator==(const Snapshot&) const = default;
};

Snapshot Take(const TerminalScreen& screen)
{
    Snapshot s;
    for (int r = -screen.ScrollbackLines(); r < screen.Rows(); ++r) {
        std::vector<TerminalCell> row;
        for (int c = 0; c < screen.Columns(); ++c)
            row.push_back(screen.Cell(r, c));
        s.cells.push_back(std::move(row));
    }
    const TerminalCursor cursor = screen.Cursor();
    s.cursorRow = cursor.row;
    s.cursorColumn = cursor.column;
    s.cursorVisible = cursor.visible;
    s.alternate = screen.AlternateScreen();
    s.scrollback = screen.ScrollbackLines();
    return s;
}

// Whole, byte by byte, and in two pieces at every split point: the screens
// must not differ.
void ExpectSameAtEverySplit(const QByteArray& stream, int columns = 80, int rows = 24)
{
    TerminalScreen whole(columns, rows);
    whole.Feed(stream);
    const Snapshot expected = Take(whole);

    TerminalScreen bytewise(columns, rows);
    for (char c : stream)
        bytewise.Feed(&c, 1);
    EXPECT_TRUE(Take(bytewise) == expected) << "byte by byte";

    for (qsizetype split = 1; split < stream.size(); ++split) {
        TerminalScreen two(columns, rows);
        two.Feed(stream.left(split));
        two.Feed(stream.mid(split));
        ASSERT_TRUE(Take(two) == expected) << "split at " << split;
    }
}

TerminalColor Indexed(int index)
{
    TerminalColor color;
    color.kind = TerminalColor::Indexed;
    color.index = std::uint8_t(index);
    return color;
}

TEST(TerminalScreen, BashPromptShowsColoursAndNoEscapes)
{
    TerminalScreen screen(80, 24);
    screen.Feed(kBashPrompt);
    EXPECT_EQ(screen.RowText(0), "op@debian:~/src$");
    const TerminalCell user = screen.Cell(0, 0);
    EXPECT_EQ(user.ch, U'o');
    EXPECT_TRUE(user.Has(TerminalCell::Bold));
    EXPECT_EQ(user.foreground, Indexed(2));
    const TerminalCell colon = screen.Cell(0, 9);
    EXPECT_EQ(colon.ch, U':');
    EXPECT_EQ(colon.foreground.kind, TerminalColor::Default);
    EXPECT_FALSE(colon.Has(TerminalCell::Bold));
    EXPECT_EQ(screen.Cell(0, 10).foreground, Indexed(4));
    EXPECT_EQ(screen.Cursor().column, 17);
    // The host asked for bracketed paste, so a paste comes framed.
    EXPECT_EQ(screen.EncodePaste("ls\n"), QByteArray("\x1b[200~ls\n\x1b[201~"));
    ExpectSameAtEverySplit(kBashPrompt);
}

TEST(TerminalScreen, FullScreenProgramUsesTheAlternateScreenAndGivesTheShellBack)
{
    TerminalScreen screen(80, 24);
    screen.Feed("$ top -n1\r\n");
    screen.Feed(kTopStart);
    EXPECT_TRUE(screen.AlternateScreen());
    EXPECT_FALSE(screen.Cursor().visible);
    EXPECT_TRUE(screen.RowText(0).startsWith("top - 10:21:03 up 3 days"));
    EXPECT_EQ(screen.RowText(1), "Tasks: 112 total");
    EXPECT_TRUE(screen.Cell(1, 7).Has(TerminalCell::Bold));
    EXPECT_EQ(screen.RowText(3).trimmed(), "PID USER      PR  NI    VIRT    RES  %CPU COMMAND");
    EXPECT_TRUE(screen.Cell(3, 0).Has(TerminalCell::Reverse));
    EXPECT_TRUE(screen.Cell(3, 60).Has(TerminalCell::Reverse));
    EXPECT_FALSE(screen.Cell(4, 0).Has(TerminalCell::Reverse));
    // Application cursor keys while it runs.
    EXPECT_EQ(screen.EncodeKey(TerminalKey::Up, NoModifier), QByteArray("\x1bOA"));

    screen.Feed(kTopEnd);
    EXPECT_FALSE(screen.AlternateScreen());
    EXPECT_TRUE(screen.Cursor().visible);
    EXPECT_EQ(screen.RowText(0), "$ top -n1");
    EXPECT_EQ(screen.EncodeKey(TerminalKey::Up, NoModifier), QByteArray("\x1b[A"));
    ExpectSameAtEverySplit("$ top -n1\r\n" + kTopStart + kTopEnd);
}

TEST(TerminalScreen, BbsMenuInThePcCodePageDrawsItsBox)
{
    const TerminalCodec cp437(TerminalCodePage::Cp437);
    const QByteArray utf8 = cp437.ToScreen(kBbsMenu);
    TerminalScreen screen(80, 24);
    screen.Feed(utf8);
    EXPECT_EQ(screen.RowText(0), QStringLiteral(u"╔══════╗"));
    EXPECT_EQ(screen.RowText(1), QStringLiteral(u"║ MAIN ║"));
    EXPECT_EQ(screen.RowText(2), QStringLiteral(u"╚══════╝"));
    EXPECT_EQ(screen.RowText(4), "  [M]essages");
    const TerminalCell corner = screen.Cell(0, 0);
    EXPECT_EQ(corner.foreground, Indexed(3));
    EXPECT_EQ(corner.background, Indexed(4));
    EXPECT_TRUE(corner.Has(TerminalCell::Bold));
    EXPECT_EQ(screen.Cell(4, 2).foreground, Indexed(6));
    EXPECT_EQ(screen.Cell(4, 5).foreground, Indexed(7));
    ExpectSameAtEverySplit(utf8);
}

// A dialog box as a full-screen program draws it for an xterm: the frame in
// the line-drawing set, a Persian title in it.
TEST(TerminalScreen, LineDrawingSetBesideOtherText)
{
    const QByteArray box = "\x1b[1;1H\x1b(0lq\x1b(B \xd9\x81\xd8\xa7\xdb\x8c\xd9\x84 \x1b(0qk\x1b(B\r\n"
                           "\x1b(0x\x1b(B  ok  \x1b(0x\x1b(B\r\n"
                           "\x1b(0mqqqqqqj\x1b(B";
    TerminalScreen screen(80, 24);
    screen.Feed(box);
    EXPECT_EQ(screen.RowText(0), QStringLiteral(u"┌─ فایل ─┐"));
    EXPECT_EQ(screen.RowText(1), QStringLiteral(u"│  ok  │"));
    EXPECT_EQ(screen.RowText(2), QStringLiteral(u"└──────┘"));
    ExpectSameAtEverySplit(box);
}

TEST(TerminalScreen, LineEditingScrollRegionsBellAndUnknownSequences)
{
    TerminalScreen screen(20, 5);
    // Carriage return overwrites, backspace steps back, erase to the end.
    screen.Feed("abcdef\rXY\bZ\x1b[K\r\n");
    EXPECT_EQ(screen.RowText(0), "XZ");
    // Sequences nobody knows are swallowed, never shown.
    screen.Feed("A\x1b[?9999z\x1bP+q544e\x1b\\\x1b]777;notify;x\x07\x1b[38;5;196mB\x1b[m\r\n");
    EXPECT_EQ(screen.RowText(1), "AB");
    TerminalColor red;
    red.kind = TerminalColor::Indexed;
    red.index = 196;
    EXPECT_EQ(screen.Cell(1, 1).foreground, red);
    // 24-bit colour.
    screen.Feed("\x1b[38;2;10;20;30mC\x1b[m\x07\x07");
    const TerminalColor rgb = screen.Cell(2, 0).foreground;
    EXPECT_EQ(rgb.kind, TerminalColor::Rgb);
    EXPECT_EQ(int(rgb.red) << 16 | int(rgb.green) << 8 | rgb.blue, 10 << 16 | 20 << 8 | 30);
    EXPECT_EQ(screen.TakeBells(), 2);
    EXPECT_EQ(screen.TakeBells(), 0);
    // A scroll region of rows 2 to 4: a line feed at its foot scrolls only it.
    screen.Feed("\x1b[1;1Htop\x1b[2;4r\x1b[4;1Hfour\n\rfive");
    EXPECT_EQ(screen.RowText(0), "top");
    EXPECT_EQ(screen.RowText(2), "four");
    EXPECT_EQ(screen.RowText(3), "five");
    EXPECT_EQ(screen.ScrollbackLines(), 0);
}

TEST(TerminalScreen, ScrollbackKeepsTheNewestLinesUpToItsLimit)
{
    TerminalScreen screen(10, 3, 5);
    for (int i = 0; i < 20; ++i)
        screen.Feed(QByteArray("line") + QByteArray::number(i) + "\r\n");
    EXPECT_EQ(screen.ScrollbackLines(), 5);
    EXPECT_EQ(screen.RowText(-1), "line17");
    EXPECT_EQ(screen.RowText(-5), "line13");
    EXPECT_EQ(screen.RowText(0), "line18");
    EXPECT_EQ(screen.RowText(-6), "");
    // Growing the screen takes lines back from the scrollback; shrinking
    // pushes them again.
    screen.Resize(10, 5);
    EXPECT_EQ(screen.ScrollbackLines(), 3);
    EXPECT_EQ(screen.RowText(0), "line16");
    screen.Resize(8, 3);
    EXPECT_EQ(screen.ScrollbackLines(), 5);
    EXPECT_EQ(screen.Columns(), 8);
    // A line kept from a wide window keeps its whole text in a narrow one.
    screen.Resize(120, 3);
    const QByteArray wide = QByteArray(100, '-') + "end";
    screen.Feed(wide + "\r\n\r\n\r\n");
    screen.Resize(20, 3);
    EXPECT_EQ(screen.RowText(-1).toLatin1(), wide);
    screen.Reset();
    EXPECT_EQ(screen.ScrollbackLines(), 0);
    EXPECT_EQ(screen.RowText(0), "");
    // A window that asks for an absurd size gets a bounded screen.
    screen.Resize(100000, 0);
    EXPECT_EQ(screen.Columns(), TerminalScreen::kMaxColumns);
    EXPECT_EQ(screen.Rows(), TerminalScreen::kMinRows);
    // One column is too narrow for a wide character: the screen keeps two,
    // and a host that sends one there is drawn, not a crash.
    screen.Resize(1, 3);
    EXPECT_EQ(screen.Columns(), TerminalScreen::kMinColumns);
    screen.Feed("\xe6\xbc\xa2\xe5\xad\x97\r\n\xe6\xbc\xa2");
    EXPECT_EQ(screen.RowText(screen.Cursor().row), "\u6f22");
}

TEST(TerminalScreen, DamageNamesTheChangedRows)
{
    TerminalScreen screen(20, 10);
    screen.TakeDamage();
    screen.Feed("\x1b[5;1Hhello");
    screen.TakeDamage();
    // The cursor's old row, the rows it passed and the one written to.
    screen.Feed("\r\n\r\nX");
    EXPECT_EQ(screen.TakeDamage(), std::make_pair(4, 6));
    const auto none = screen.TakeDamage();
    EXPECT_GT(none.first, none.second);
}

TEST(TerminalScreen, KeysSendTheirSequences)
{
    TerminalScreen screen(80, 24);
    const std::vector<std::pair<TerminalKey, QByteArray>> keys = {
        {TerminalKey::Up, "\x1b[A"},      {TerminalKey::Down, "\x1b[B"},
        {TerminalKey::Right, "\x1b[C"},   {TerminalKey::Left, "\x1b[D"},
        {TerminalKey::Home, "\x1b[H"},    {TerminalKey::End, "\x1b[F"},
        {TerminalKey::PageUp, "\x1b[5~"}, {TerminalKey::PageDown, "\x1b[6~"},
        {TerminalKey::Insert, "\x1b[2~"}, {TerminalKey::Delete, "\x1b[3~"},
        {TerminalKey::F1, "\x1bOP"},      {TerminalKey::F4, "\x1bOS"},
        {TerminalKey::F5, "\x1b[15~"},    {TerminalKey::F12, "\x1b[24~"},
        {TerminalKey::Tab, "\t"},         {TerminalKey::Escape, "\x1b"},
        {TerminalKey::Backspace, "\b"},   {TerminalKey::Enter, "\r"},
    };
    for (const auto& [key, bytes] : keys)
        EXPECT_EQ(screen.EncodeKey(key, NoModifier), bytes) << int(key);
    EXPECT_EQ(screen.EncodeKey(TerminalKey::Backspace, ControlModifier), QByteArray("\x7f"));
    EXPECT_EQ(screen.EncodeCharacter(U'c', ControlModifier), QByteArray("\x03"));
    EXPECT_EQ(screen.EncodeCharacter(U'z', ControlModifier), QByteArray("\x1a"));
    EXPECT_EQ(screen.EncodeCharacter(U'x', AltModifier), QByteArray("\x1bx"));
    // No bracketed paste asked for: the text as it is.
    EXPECT_EQ(screen.EncodePaste("a\rb"), QByteArray("a\rb"));
    // Keys are not replies to the far side.
    EXPECT_TRUE(screen.TakeReplies().isEmpty());
}

TEST(TerminalScreen, AnswersTheFarSidesQueries)
{
    TerminalScreen screen(80, 24);
    screen.Feed("\x1b[3;7H\x1b[6n");
    EXPECT_EQ(screen.TakeReplies(), QByteArray("\x1b[3;7R"));
    EXPECT_TRUE(screen.TakeReplies().isEmpty());
}

TEST(TerminalScreen, WideAndSplitUtf8Characters)
{
    const QByteArray text = QStringLiteral(u"hi سلام 日本 ok").toUtf8();
    TerminalScreen screen(20, 2);
    screen.Feed(text);
    EXPECT_EQ(screen.RowText(0), QStringLiteral(u"hi سلام 日本 ok"));
    EXPECT_EQ(screen.Cell(0, 8).width, 2);
    EXPECT_EQ(screen.Cell(0, 9).width, 0);
    ExpectSameAtEverySplit(text, 20, 2);
    // A character cut by the end of a read comes out whole with the next.
    TerminalScreen cut(20, 2);
    cut.Feed(text.left(4));
    cut.Feed(text.mid(4));
    EXPECT_EQ(cut.RowText(0), screen.RowText(0));
}

TEST(TerminalScreen, NoiseNeverLeavesTheScreenOrItsBounds)
{
    // Line noise, cut escape sequences and absurd parameters, with the window
    // resized in between: the cursor stays on the screen, the scrollback
    // within its limit.
    TerminalScreen screen(40, 10, 50);
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    const QByteArray pieces[] = {"\x1b[",          "\x1b]",       "\x1bP",     "\x07", "\x1b[999999;999999H",
                                 "\x1b[?1049h",    "\x1b[?1049l", "\x1b[5;2r", "\r\n", "\xd8",
                                 "\x1b[38;5;300m", "\x1b[6n"};
    for (int round = 0; round < 400; ++round) {
        QByteArray chunk;
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t r = next();
            chunk += (r >> 24) % 4 == 0 ? pieces[(r >> 8) % std::size(pieces)] : QByteArray(1, char(r >> 16));
        }
        screen.Feed(chunk);
        if (round % 37 == 0)
            screen.Resize(int(next() % 120), int(next() % 40));
        const TerminalCursor cursor = screen.Cursor();
        ASSERT_GE(cursor.row, 0);
        ASSERT_LT(cursor.row, screen.Rows());
        ASSERT_GE(cursor.column, 0);
        ASSERT_LE(cursor.column, screen.Columns());
        ASSERT_LE(screen.ScrollbackLines(), 50);
    }
    screen.TakeReplies();
    screen.TakeDamage();
}

// Sequences a hostile or broken host can send, on which the terminal
// library crashes or loops for ever unless they are mended on the way in.
TEST(TerminalScreen, SequencesThatBreakTheLibraryAreMended)
{
    TerminalScreen fresh(20, 4);
    fresh.Feed("\x1b[3b"); // a repeat before any character was printed
    fresh.Feed("ab");
    EXPECT_EQ(fresh.RowText(0).trimmed(), "ab");
    // A repeat of a character of no width, on a line of its own and after
    // another character: the library's own repeat never ends there.
    fresh.Feed("\r\n\xd9\x8e\x1b[b\r\n\xe2\x80\x8c\x1b[3b|\x1b[2b\r\nc\x1b[1;1H\xd9\x8e\x1b[2b");
    EXPECT_EQ(fresh.RowText(2), "|||");

    TerminalScreen screen(20, 4);
    screen.Feed("x\xc2\x85y");       // a C1 control in UTF-8: NEL, as ESC E
    screen.Feed("\xc2\x96\x1bH");    // a C1 control, then ESC H
    screen.Feed("\x1bP\x1b\x04\\z"); // a control after ESC in a string
    screen.Feed("\x1b]\x1b\x7f\\");
    EXPECT_EQ(screen.RowText(0), "x");
    EXPECT_EQ(screen.RowText(1).left(2), "yz");

    // A smaller screen after the cursor went home: the library would leave
    // it above the screen, where an erase crashes.
    TerminalScreen shrinking(80, 24);
    shrinking.Feed("\f\f\f\f\n\x1b"
                   "E\x1b"
                   "E\x1b"
                   "EJ\x1b[H");
    shrinking.Resize(102, 8);
    shrinking.Feed("\x1b[;J");
    EXPECT_GE(shrinking.Cursor().row, 0);
    // A cursor saved on a larger screen and restored on the smaller one,
    // then an erase; and what the host saved outlives the resize.
    TerminalScreen restoring(80, 24);
    restoring.Feed("\x1b[20;70H\x1b"
                   "7\x1b[2;5H");
    restoring.Resize(55, 2);
    restoring.Feed("\x1b"
                   "8\x1b[K");
    EXPECT_EQ(restoring.Cursor().row, 1);
    TerminalScreen keeping(80, 24);
    keeping.Feed("\x1b[2;5H\x1b"
                 "7\x1b[10;1H");
    keeping.Resize(80, 12);
    keeping.Feed("\x1b"
                 "8");
    EXPECT_EQ(keeping.Cursor().row, 1);
    EXPECT_EQ(keeping.Cursor().column, 4);
    // More parameters than the library has room for.
    shrinking.Feed("\x1b[" + QByteArray(40, ';') + "m\x1b[" + QByteArray(40, ':') + "9cq");
    EXPECT_TRUE(shrinking.RowText(shrinking.Cursor().row).contains('q'));
}

// What reaches the terminal library: only whole, well-formed pieces, the
// same however the stream is cut.
TEST(TerminalInputFilter, PassesWellFormedSequencesAndMendsTheRest)
{
    const struct
    {
        QByteArray in, out;
    } cases[] = {
        {"ab\x1b[1;31mc\x1b[?1049h", "ab\x1b[1;31mc\x1b[?1049h"},
        // The line-drawing set: designated as G0, beside other text, as G1
        // shifted in and out, and saved with the cursor.
        {"\x1b(0lqk\xd8\xa8x_\x1b(B", "\xe2\x94\x8c\xe2\x94\x80\xe2\x94\x90\xd8\xa8\xe2\x94\x82\xc2\xa0"},
        {"\x1b)0\x0eq\x1b[1\x0fm\x0eq\x0fq\x1b)B", "\xe2\x94\x80\x1b[1m\xe2\x94\x80q"},
        {"\x1b(0\0337\x1b(Bq\0338q\x1b(B\0337", "\0337q\0338\xe2\x94\x80\0337"},
        {"\x1b(0\033cq\x1b(0\x1b[!pq\x1b*0\x1b(0\x1bnq\x0fq\x1b(B",
         "\033cq\x1b[!pqq\xe2\x94\x80"}, // resets; G2 is the default set
        {"\xc2\x9b"
         "2J\xc2\x85",
         "\x1b[2J\x1b"
         "E"},                                       // C1 controls in UTF-8
        {"\x1b\xc3\xbf[;;;;", "\xc3\xbf[;;;;"},      // a character ends the escape
        {"\x1b[" + QByteArray(20, ';') + "mx", "x"}, // too many parameters
        {"\x1b[1:2::3;4m", "\x1b[1:2::3;4m"},        // sub-parameters kept
        // Repeats as the character itself: of a mark, of a box piece, at most
        // a line's worth; none with a marker or intermediates, or after a reset.
        {"\xd9\x8e\x1b[2b\x1b(0q\x1b[b\x1b(Bx\x1b[0b\x1b[?2b\x1b[2$b",
         "\xd9\x8e\xd9\x8e\xd9\x8e\xe2\x94\x80\xe2\x94\x80xx"},
        {"q\x1b[9999b", QByteArray(TerminalInputFilter::kMaxRepeat + 1, 'q')},
        {"a\033c\x1b[2b", "a\033c"},
        {"\x1b[0099999999;H", "\x1b[9999;H"},       // no value beyond any screen
        {"\x1b[1\r2H", "\r\x1b[12H"},               // a control inside acts at once
        {"\x1b[1;?2h\x1b[1 !!p\x1b!!!x\x1b.[", ""}, // malformed: dropped whole
        {"\x1b[12\x18x\x1b[3\x1b[4m", "x\x1b[4m"},  // CAN and ESC cancel
        {"\x1b]0;t\xc3\xa9\x07\x1bP$qm\x1b\\", "\x1b]0;t\xc3\xa9\x1b\\\x1bP$qm\x1b\\"},
        {"\x1b]0;t\x1b[1m\x1b_apc\x1b\\\x1b\\", "\x1b[1m"},      // cut, ignored and empty strings
        {"\x1bP$q5\x1b\\\x1b]52;c;eA==\x07\x1bP$q m\x1b\\", ""}, // strings the library mishandles
        {"\x1b]2;" + QByteArray(TerminalInputFilter::kMaxStringBytes, 'a') + "\x07y", "y"},
        {QByteArray("\0a\x7f\xff\xed\xa0\x80\xc0\xaf\xe2\x82", 12) + "b",
         "a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"
         "b"}, // bad UTF-8 as U+FFFD
    };
    QByteArray all, expected;
    for (const auto& c : cases) {
        TerminalInputFilter filter;
        QByteArray out;
        filter.Push(c.in.constData(), std::size_t(c.in.size()), out);
        EXPECT_EQ(out, c.out) << c.in.toStdString();
        all += c.in;
        expected += c.out;
    }
    auto run = [&](const std::vector<QByteArray>& pieces) {
        TerminalInputFilter filter;
        QByteArray out;
        for (const QByteArray& piece : pieces)
            filter.Push(piece.constData(), std::size_t(piece.size()), out);
        return out;
    };
    EXPECT_EQ(run({all}), expected);
    std::vector<QByteArray> bytes;
    for (char c : all)
        bytes.push_back(QByteArray(1, c));
    EXPECT_EQ(run(bytes), expected) << "byte by byte";
    for (qsizetype split = 1; split < all.size(); ++split)
        ASSERT_EQ(run({all.left(split), all.mid(split)}), expected) << "split at " << split;

    // Where the cursor is put back, however the stream comes.
    const QByteArray restoring = "a\0338b\x1b[?1049lc\x1b[u\x1b[?25h\x1b[s";
    for (std::size_t piece : {std::size_t(1), std::size_t(restoring.size())}) {
        TerminalInputFilter filter;
        QByteArray out;
        std::vector<qsizetype> restores;
        for (qsizetype at = 0; at < restoring.size(); at += qsizetype(piece))
            filter.Push(restoring.constData() + at, std::min(piece, std::size_t(restoring.size() - at)), out,
                        &restores);
        EXPECT_EQ(out, restoring);
        EXPECT_EQ(restores, (std::vector<qsizetype>{3, 12, 16, 22})) << piece;
    }
}

TEST(TerminalCodec, CodePagesBothWays)
{
    EXPECT_EQ(TerminalCodec(TerminalCodePage::Cp437).ToScreen("\xc4\xb3\x1b[1m"),
              QStringLiteral(u"─│\x1b[1m").toUtf8());
    EXPECT_EQ(TerminalCodec(TerminalCodePage::Windows1256).ToScreen("\xd3\xe1\xc7\xe3"),
              QStringLiteral(u"سلام").toUtf8());
    EXPECT_EQ(TerminalCodec(TerminalCodePage::Iso8859_6).ToScreen("\xd3\xe4\xc7\xe5"),
              QStringLiteral(u"سلام").toUtf8());
    EXPECT_EQ(TerminalCodec(TerminalCodePage::Iso8859_1).ToScreen("caf\xe9"),
              QStringLiteral(u"café").toUtf8());
    // A byte ISO-8859-6 leaves undefined is shown as the replacement mark.
    EXPECT_EQ(TerminalCodec(TerminalCodePage::Iso8859_6).ToScreen("\xa1"),
              QStringLiteral(u"\uFFFD").toUtf8());
    // UTF-8 passes whole, split or not: the screen joins the pieces.
    EXPECT_EQ(TerminalCodec().ToScreen("\xd8"), QByteArray("\xd8"));

    EXPECT_EQ(TerminalCodec(TerminalCodePage::Windows1256).FromKeyboard(QStringLiteral(u"سلام!")),
              QByteArray("\xd3\xe1\xc7\xe3!"));
    EXPECT_EQ(TerminalCodec(TerminalCodePage::Cp437).FromKeyboard(QStringLiteral(u"é€")),
              QByteArray("\x82?"));
    EXPECT_EQ(TerminalCodec().FromKeyboard(QStringLiteral(u"ش")), QByteArray("\xd8\xb4"));

    for (TerminalCodePage page : kCodePages)
        EXPECT_EQ(CodePageFromName(CodePageName(page).toLower()), page);
    EXPECT_FALSE(CodePageFromName(QStringLiteral("EBCDIC")).has_value());
}

} // namespace
} // namespace vh
