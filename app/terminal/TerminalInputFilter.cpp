#include "app/terminal/TerminalInputFilter.h"

#include <algorithm>
#include <iterator>

namespace vh {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kEsc = 0x1B;

void AppendUtf8(char32_t ch, QByteArray& out)
{
    if (ch < 0x80) {
        out += char(ch);
    } else if (ch < 0x800) {
        out += char(0xC0 | (ch >> 6));
        out += char(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        out += char(0xE0 | (ch >> 12));
        out += char(0x80 | ((ch >> 6) & 0x3F));
        out += char(0x80 | (ch & 0x3F));
    } else {
        out += char(0xF0 | (ch >> 18));
        out += char(0x80 | ((ch >> 12) & 0x3F));
        out += char(0x80 | ((ch >> 6) & 0x3F));
        out += char(0x80 | (ch & 0x3F));
    }
}

bool IsPrintableAscii(unsigned char c)
{
    return c >= 0x20 && c < 0x7F;
}

// The line-drawing set: what "_" to "~" stand for in it.
constexpr char32_t kLineDrawing[] = {
    0x00A0, 0x25C6, 0x2592, 0x2409, 0x240C, 0x240D, 0x240A, 0x00B0, 0x00B1, 0x2424, 0x240B,
    0x2518, 0x2510, 0x250C, 0x2514, 0x253C, 0x23BA, 0x23BB, 0x2500, 0x23BC, 0x23BD, 0x251C,
    0x2524, 0x2534, 0x252C, 0x2502, 0x2264, 0x2265, 0x03C0, 0x2260, 0x00A3, 0x00B7,
};
static_assert(std::size(kLineDrawing) == 0x7F - 0x5F);

} // namespace

void TerminalInputFilter::Push(const char* data, std::size_t size, QByteArray& out,
                               std::vector<qsizetype>* restores)
{
    m_restores = restores;
    for (std::size_t i = 0; i < size;) {
        // Plain text is most of what a host sends; a run of it goes on at once.
        if (m_state == State::Ground && m_needed == 0 && !LineDrawing() &&
            IsPrintableAscii(static_cast<unsigned char>(data[i]))) {
            std::size_t end = i + 1;
            while (end < size && IsPrintableAscii(static_cast<unsigned char>(data[end])))
                ++end;
            out.append(data + i, qsizetype(end - i));
            m_lastPrinted = static_cast<unsigned char>(data[end - 1]);
            i = end;
            continue;
        }
        Decode(static_cast<unsigned char>(data[i]), out);
        ++i;
    }
    m_restores = nullptr;
}

void TerminalInputFilter::Reset()
{
    *this = TerminalInputFilter();
}

void TerminalInputFilter::Decode(unsigned char byte, QByteArray& out)
{
    if (m_needed > 0) {
        if ((byte & 0xC0) == 0x80) {
            m_partial = (m_partial << 6) | (byte & 0x3F);
            if (--m_needed > 0)
                return;
            const char32_t ch = m_partial;
            const bool valid = ch >= m_lowest && ch <= 0x10FFFF && !(ch >= 0xD800 && ch <= 0xDFFF);
            Take(valid ? ch : kReplacement, out);
            return;
        }
        // A character cut short by a byte that cannot continue it.
        m_needed = 0;
        Take(kReplacement, out);
    }
    if (byte < 0x80) {
        Take(byte, out);
    } else if ((byte & 0xE0) == 0xC0) {
        m_partial = byte & 0x1F;
        m_needed = 1;
        m_lowest = 0x80;
    } else if ((byte & 0xF0) == 0xE0) {
        m_partial = byte & 0x0F;
        m_needed = 2;
        m_lowest = 0x800;
    } else if ((byte & 0xF8) == 0xF0) {
        m_partial = byte & 0x07;
        m_needed = 3;
        m_lowest = 0x10000;
    } else {
        Take(kReplacement, out);
    }
}

void TerminalInputFilter::Take(char32_t ch, QByteArray& out)
{
    if (ch >= 0x80 && ch <= 0x9F) {
        Take(kEsc, out);
        Take(ch - 0x40, out);
        return;
    }
    if (m_state == State::StringEscape) {
        if (ch == '\\') {
            EndString(out);
            return;
        }
        // ESC that does not end the string cancels it and begins a sequence
        // of its own.
        StartEscape();
    }
    if (ch == 0x18 || ch == 0x1A) {
        m_string.clear();
        m_state = State::Ground;
        return;
    }
    if (ch == kEsc) {
        if (m_state == State::String)
            m_state = State::StringEscape;
        else
            StartEscape();
        return;
    }
    switch (m_state) {
    case State::Ground:
        if (Shift(ch) || ch == 0 || ch == 0x7F)
            return;
        if (ch >= 0x5F && ch <= 0x7E && LineDrawing())
            ch = kLineDrawing[ch - 0x5F];
        AppendUtf8(ch, out);
        if (ch >= 0x20)
            m_lastPrinted = ch;
        return;
    case State::ControlSequence:
    case State::ControlSequenceIgnore:
        TakeInControlSequence(ch, out);
        return;
    case State::String:
        TakeInString(ch, out);
        return;
    case State::Escape:
    case State::EscapeIntermediate:
    case State::StringEscape:
        break;
    }
    if (TakeNotOfSequence(ch, out))
        return;
    if (ch < 0x30) {
        // At most two intermediates; a third one spoils the sequence, which
        // is then dropped at its final.
        if (m_intermediateCount < int(m_intermediates.size()))
            m_intermediates[std::size_t(m_intermediateCount)] = char(ch);
        m_intermediateCount = std::min(m_intermediateCount + 1, int(m_intermediates.size()) + 1);
        m_state = State::EscapeIntermediate;
        return;
    }
    const bool plain = m_state == State::Escape;
    m_state = State::Ground;
    if (!plain && (m_intermediates[0] == '(' || m_intermediates[0] == ')') && m_intermediateCount == 1) {
        // G0 or G1 designated: the line-drawing set, or else the default one.
        m_sets.lineDrawing[m_intermediates[0] == '(' ? 0 : 1] = ch == '0';
        return;
    }
    if (!plain && m_intermediates[0] >= '(' && m_intermediates[0] <= '/') {
        // Any other designation (G2, G3, sets of 96 or named by two bytes)
        // leaves the set in use as it was.
        return;
    }
    if (!plain) {
        // A final that would begin a control sequence or a string on its own
        // makes no sense after intermediates, and the library would start
        // one there.
        const bool introducer =
            ch == '[' || ch == ']' || ch == 'P' || ch == 'X' || ch == '^' || ch == '_' || ch == '\\';
        if (m_intermediateCount <= int(m_intermediates.size()) && !introducer) {
            out += char(kEsc);
            out.append(m_intermediates.data(), m_intermediateCount);
            out += char(ch);
        }
        return;
    }
    switch (ch) {
    case '[':
        m_state = State::ControlSequence;
        m_marker = 0;
        m_parameterCount = 0;
        m_intermediateCount = 0;
        return;
    case ']':
    case 'P':
        m_state = State::String;
        m_keepString = true;
        m_string = QByteArray("\x1b") + char(ch);
        return;
    case 'X':
    case '^':
    case '_':
        m_state = State::String;
        m_keepString = false;
        return;
    case '\\':
        // A string terminator with no string before it means nothing.
        return;
    default:
        EndEscape(ch, out);
        return;
    }
}

void TerminalInputFilter::EndEscape(char32_t final, QByteArray& out)
{
    switch (final) {
    case 'n':
    case 'o':
        // G2 or G3 in use: the default set here.
        m_sets.left = final == 'n' ? 2 : 3;
        return;
    case '|':
    case '}':
    case '~':
        // Shifts of the upper half, which UTF-8 does not use.
        return;
    case '7':
        m_savedSets = m_sets;
        break;
    case '8':
        m_sets = m_savedSets;
        break;
    case 'c':
        m_sets = {};
        m_savedSets = {};
        m_lastPrinted = 0;
        break;
    default:
        break;
    }
    out += char(kEsc);
    out += char(final);
    if (final == '8')
        MarkRestore(out);
}

bool TerminalInputFilter::Shift(char32_t ch)
{
    if (ch != 0x0E && ch != 0x0F)
        return false;
    m_sets.left = ch == 0x0E ? 1 : 0;
    return true;
}

void TerminalInputFilter::MarkRestore(const QByteArray& out)
{
    if (m_restores)
        m_restores->push_back(out.size());
}

bool TerminalInputFilter::TakeNotOfSequence(char32_t ch, QByteArray& out)
{
    if (ch < 0x20) {
        // A control inside a sequence acts at once, and the sequence goes on.
        if (!Shift(ch) && ch != 0)
            out += char(ch);
        return true;
    }
    if (ch == 0x7F)
        return true;
    if (ch > 0x7F) {
        // A character ends the sequence, unfinished, and is shown.
        m_state = State::Ground;
        Take(ch, out);
        return true;
    }
    return false;
}

void TerminalInputFilter::TakeInControlSequence(char32_t ch, QByteArray& out)
{
    if (TakeNotOfSequence(ch, out))
        return;
    if (ch >= 0x40) {
        if (m_state == State::ControlSequence)
            EndControlSequence(char(ch), out);
        m_state = State::Ground;
        return;
    }
    if (m_state == State::ControlSequenceIgnore)
        return;
    if (ch < 0x30) {
        if (m_intermediateCount == int(m_intermediates.size())) {
            m_state = State::ControlSequenceIgnore;
            return;
        }
        m_intermediates[std::size_t(m_intermediateCount++)] = char(ch);
        return;
    }
    // A parameter byte after an intermediate, a private marker anywhere but
    // at the start, or a parameter too many: the sequence is not one a
    // terminal can act on.
    if (m_intermediateCount > 0) {
        m_state = State::ControlSequenceIgnore;
        return;
    }
    if (ch >= '<') {
        if (m_parameterCount == 0 && m_marker == 0)
            m_marker = char(ch);
        else
            m_state = State::ControlSequenceIgnore;
        return;
    }
    if (m_parameterCount == 0) {
        m_parameterCount = 1;
        m_values[0] = 0;
        m_present[0] = false;
        m_separators[0] = 0;
    }
    const std::size_t last = std::size_t(m_parameterCount - 1);
    if (ch <= '9') {
        m_values[last] = std::min(m_values[last] * 10 + int(ch - '0'), kMaxParameterValue);
        m_present[last] = true;
        return;
    }
    if (ch != ';' && ch != ':') {
        m_state = State::ControlSequenceIgnore;
        return;
    }
    if (m_parameterCount == kMaxParameters) {
        m_state = State::ControlSequenceIgnore;
        return;
    }
    m_separators[last] = char(ch);
    m_values[last + 1] = 0;
    m_present[last + 1] = false;
    m_separators[last + 1] = 0;
    ++m_parameterCount;
}

void TerminalInputFilter::TakeInString(char32_t ch, QByteArray& out)
{
    if (ch == 0x07) {
        // BEL ends a string as well, as many hosts send it.
        EndString(out);
        return;
    }
    if (ch < 0x20 || ch == 0x7F || !m_keepString)
        return;
    AppendUtf8(ch, m_string);
    if (m_string.size() > kMaxStringBytes) {
        m_keepString = false;
        m_string.clear();
    }
}

void TerminalInputFilter::EndString(QByteArray& out)
{
    // Only the strings the library acts on go on, and of those only the
    // forms it handles soundly: it formats its answer to a status request
    // it does not know from memory it never set.
    static const QByteArray kPassed[] = {
        QByteArrayLiteral("\x1b]0;"),   QByteArrayLiteral("\x1b]1;"),    QByteArrayLiteral("\x1b]2;"),
        QByteArrayLiteral("\x1bP$qm"),  QByteArrayLiteral("\x1bP$qr"),   QByteArrayLiteral("\x1bP$qs"),
        QByteArrayLiteral("\x1bP$q q"), QByteArrayLiteral("\x1bP$q\"q"),
    };
    const bool passed =
        m_keepString && std::any_of(std::begin(kPassed), std::end(kPassed), [&](const QByteArray& p) {
            return p.endsWith(';') ? m_string.startsWith(p) : m_string == p;
        });
    if (passed)
        out += m_string + "\x1b\\";
    m_string.clear();
    m_keepString = false;
    m_state = State::Ground;
}

void TerminalInputFilter::StartEscape()
{
    m_state = State::Escape;
    m_intermediateCount = 0;
    m_keepString = false;
    m_string.clear();
}

void TerminalInputFilter::EndControlSequence(char final, QByteArray& out)
{
    if (final == 'b') {
        Repeat(out);
        return;
    }
    out += "\x1b[";
    if (m_marker != 0)
        out += m_marker;
    for (int i = 0; i < m_parameterCount; ++i) {
        const std::size_t p = std::size_t(i);
        if (m_present[p])
            out += QByteArray::number(m_values[p]);
        if (m_separators[p] != 0)
            out += m_separators[p];
    }
    out.append(m_intermediates.data(), m_intermediateCount);
    out += final;

    // What the cursor is saved and restored with.
    const bool plain = m_marker == 0 && m_intermediateCount == 0;
    bool saves = plain && final == 's' && m_parameterCount == 0;
    bool restores = plain && final == 'u';
    if (m_marker == '?' && m_intermediateCount == 0 && (final == 'h' || final == 'l')) {
        for (int i = 0; i < m_parameterCount; ++i) {
            const int mode = m_values[std::size_t(i)];
            if (m_present[std::size_t(i)] && (mode == 1048 || mode == 1049)) {
                saves = saves || final == 'h';
                restores = restores || final == 'l';
            }
        }
    }
    if (saves)
        m_savedSets = m_sets;
    if (restores)
        m_sets = m_savedSets;
    if (m_marker == 0 && m_intermediateCount == 1 && m_intermediates[0] == '!' && final == 'p')
        m_sets = {}; // a soft reset
    // Any private mode may put a saved cursor back (the alternate screen's
    // do), and so may CSI u with a marker.
    if ((m_marker == '?' && (final == 'h' || final == 'l')) || (m_marker != '?' && final == 'u'))
        MarkRestore(out);
}

void TerminalInputFilter::Repeat(QByteArray& out) const
{
    if (m_marker != 0 || m_intermediateCount != 0 || m_lastPrinted == 0)
        return;
    const int asked = m_parameterCount > 0 && m_present[0] ? m_values[0] : 1;
    for (int i = std::clamp(asked, 1, kMaxRepeat); i > 0; --i)
        AppendUtf8(m_lastPrinted, out);
}

} // namespace vh
