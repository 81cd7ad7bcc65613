#pragma once

#include <QByteArray>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vh {

// What the far side sends, made safe for the terminal library before it sees
// a byte of it. The library trusts its input; a hostile or noisy host must
// not be able to crash the program through it. So the stream is parsed here
// the way a terminal parses it, and only complete, well-formed pieces go on:
//
// - text as valid UTF-8, with every malformed byte as U+FFFD; NUL and DEL,
//   which a terminal ignores, are left out;
// - a C1 control written in UTF-8 in its seven-bit form (ESC and a letter),
//   which means the same;
// - an escape sequence only once it is complete: ESC, at most two
//   intermediates and a final (not one that begins a control sequence or a
//   string);
// - a control sequence (CSI) with at most kMaxParameters parameters of at
//   most kMaxParameterValue each (a larger value means the same as the
//   largest one to a screen of at most a few hundred columns), at most two
//   intermediates, and a private marker only at its start; one with more is
//   dropped whole. A C0 control inside one acts at once, as on a terminal;
// - a request to repeat the last character printed (CSI b) as that character
//   itself, as many times as asked, up to kMaxRepeat (a line of the widest
//   screen); with none printed yet, or with a marker or intermediates, it is
//   dropped. The library's own repeat never ends after a character of no
//   width (a combining mark, a zero-width non-joiner) or before any;
// - of the strings, only a window or icon title (OSC 0, 1, 2) and a status
//   request the library answers (DECRQSS of m, r, s, " q" and "\"q"), whole,
//   up to kMaxStringBytes, always ended by ESC \; any other string (DCS,
//   OSC, SOS, PM, APC) and any longer one is dropped. C0 controls inside a
//   string are ignored.
//
// ESC, CAN and SUB cancel an unfinished sequence, as on a terminal; a
// character that cannot be part of a sequence ends it and is shown.
//
// The line-drawing set that full-screen programs draw their boxes with is
// applied here, and the library only ever sees its own default set: a host
// designates the set as G0 or G1 (ESC ( 0, ESC ) 0) and shifts between the two
// (SI, SO); while it is in use, the characters from "_" to "~" go on as the
// box pieces and symbols they stand for. The choice is saved and restored
// with the cursor (ESC 7 and ESC 8, CSI s and CSI u, private modes 1048 and
// 1049) and reset by ESC c and CSI ! p. The library draws the set only within
// a run of plain ASCII, so where a read ended decided how a character next to
// a non-ASCII one was drawn; here it is the same however the stream is cut.
// Other sets, G2 and G3 and their shifts go as the default set.
//
// Push() may be given the stream in pieces of any size: the output is the
// same.
class TerminalInputFilter
{
public:
    static constexpr int kMaxParameters = 13;
    static constexpr int kMaxParameterValue = 9999;
    static constexpr int kMaxStringBytes = 2048;
    static constexpr int kMaxRepeat = 500;

    // Appends to `out` what of `data` can go on now; what belongs to an
    // unfinished character or sequence waits for the next push. Where a
    // sequence that puts the cursor back where it was saved ends in `out`
    // (ESC 8, CSI u, a private mode set or reset), its offset is added to
    // `restores` when one is given: a cursor saved on a larger screen may be
    // off the screen there.
    void Push(const char* data, std::size_t size, QByteArray& out,
              std::vector<qsizetype>* restores = nullptr);
    // Forgets any unfinished character or sequence, and the character sets.
    void Reset();

private:
    enum class State
    {
        Ground,
        Escape,
        EscapeIntermediate,
        ControlSequence,
        ControlSequenceIgnore,
        String,
        StringEscape,
    };
    void Decode(unsigned char byte, QByteArray& out);
    void Take(char32_t ch, QByteArray& out);
    // A control, DEL or a character met inside an escape or control
    // sequence: true when handled.
    bool TakeNotOfSequence(char32_t ch, QByteArray& out);
    void TakeInControlSequence(char32_t ch, QByteArray& out);
    void TakeInString(char32_t ch, QByteArray& out);
    void EndString(QByteArray& out);
    void StartEscape();
    void EndEscape(char32_t final, QByteArray& out);
    void EndControlSequence(char final, QByteArray& out);
    void Repeat(QByteArray& out) const;
    // SO or SI: true when `ch` was one.
    bool Shift(char32_t ch);
    bool LineDrawing() const { return m_sets.left < 2 && m_sets.lineDrawing[m_sets.left]; }
    void MarkRestore(const QByteArray& out);

    // Which of G0 and G1 hold the line-drawing set, and which of G0..G3 is
    // in use.
    struct CharacterSets
    {
        std::array<bool, 2> lineDrawing{};
        int left = 0;
    };

    // The UTF-8 decoder: the character begun and how many bytes it still needs.
    char32_t m_partial = 0;
    int m_needed = 0;
    char32_t m_lowest = 0; // the smallest value of that length (no overlong forms)

    State m_state = State::Ground;
    std::array<char, 2> m_intermediates{};
    int m_intermediateCount = 0;
    // The control sequence being read.
    char m_marker = 0;
    std::array<int, kMaxParameters> m_values{};
    std::array<bool, kMaxParameters> m_present{};
    std::array<char, kMaxParameters> m_separators{}; // after each parameter: ';', ':' or 0
    int m_parameterCount = 0;
    // The string being read: whether it goes on, and what it holds so far.
    bool m_keepString = false;
    QByteArray m_string;

    char32_t m_lastPrinted = 0; // what a repeat repeats; 0 before any

    CharacterSets m_sets;
    CharacterSets m_savedSets;                    // saved with the cursor
    std::vector<qsizetype>* m_restores = nullptr; // during Push()
};

} // namespace vh
