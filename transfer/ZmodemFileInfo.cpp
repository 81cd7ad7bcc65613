#include "transfer/ZmodemFileInfo.h"

#include <QStringList>
#include <QUtf8StringView>

#include <limits>

namespace qv::zm {

namespace {

// One space-separated field at `pos`, bounded by `n` and by a NUL.
struct FieldReader
{
    const std::uint8_t* data;
    std::size_t n;
    std::size_t pos;

    bool AtEnd() const { return pos >= n || data[pos] == 0; }

    // Reads digits of `base` into `value`; false when the field is empty,
    // holds another character, or exceeds `limit`.
    bool Next(int base, std::int64_t limit, std::int64_t& value, bool& present)
    {
        while (pos < n && data[pos] == ' ')
            ++pos;
        present = !AtEnd();
        if (!present)
            return false;
        bool ok = true;
        value = 0;
        for (; pos < n && data[pos] != ' ' && data[pos] != 0; ++pos) {
            const int c = data[pos];
            const int digit = (c >= '0' && c < '0' + base) ? c - '0' : -1;
            if (digit < 0 || !ok) {
                ok = false;
                continue;
            }
            if (value > (limit - digit) / base)
                ok = false;
            else
                value = value * base + digit;
        }
        return ok;
    }
};

// Windows-1256, the code page of the Windows peers: what its upper half
// stands for (its lower half is ASCII).
constexpr char16_t kWindows1256[128] = {
    0x20AC, 0x067E, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0679, 0x2039, 0x0152,
    0x0686, 0x0698, 0x0688, 0x06AF, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x06A9, 0x2122,
    0x0691, 0x203A, 0x0153, 0x200C, 0x200D, 0x06BA, 0x00A0, 0x060C, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6,
    0x00A7, 0x00A8, 0x00A9, 0x06BE, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF, 0x00B0, 0x00B1, 0x00B2, 0x00B3,
    0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x00B9, 0x061B, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x061F, 0x06C1,
    0x0621, 0x0622, 0x0623, 0x0624, 0x0625, 0x0626, 0x0627, 0x0628, 0x0629, 0x062A, 0x062B, 0x062C, 0x062D,
    0x062E, 0x062F, 0x0630, 0x0631, 0x0632, 0x0633, 0x0634, 0x0635, 0x0636, 0x00D7, 0x0637, 0x0638, 0x0639,
    0x063A, 0x0640, 0x0641, 0x0642, 0x0643, 0x00E0, 0x0644, 0x00E2, 0x0645, 0x0646, 0x0647, 0x0648, 0x00E7,
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x0649, 0x064A, 0x00EE, 0x00EF, 0x064B, 0x064C, 0x064D, 0x064E, 0x00F4,
    0x064F, 0x0650, 0x00F7, 0x0651, 0x00F9, 0x0652, 0x00FB, 0x00FC, 0x200E, 0x200F, 0x06D2,
};

QString DecodeWindows1256(const QByteArray& bytes)
{
    QString out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += QChar(b < 0x80 ? char16_t(b) : kWindows1256[b - 0x80]);
    }
    return out;
}

// Characters that are never part of a stored name: controls (C0, DEL, C1),
// the line and paragraph separators, and the invisible marks that reorder
// or hide text, so that "invoice<RLO>txt.exe" cannot pass for a text file.
bool IsUnsafeCharacter(char16_t u)
{
    return u < 0x20 || (u >= 0x7F && u < 0xA0) || u == 0x2028 || u == 0x2029 ||
           (u >= 0x200B && u <= 0x200F) || (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) ||
           u == 0xFEFF;
}

// The zero-width non-joiner and joiner shape Persian and Arabic words
// ("نامه‌ها" is spelled with one); between two letters they stay.
bool IsJoinerBetweenLetters(const QString& name, qsizetype i)
{
    const char16_t u = name[i].unicode();
    return (u == 0x200C || u == 0x200D) && i > 0 && i + 1 < name.size() && name[i - 1].isLetter() &&
           name[i + 1].isLetter();
}

} // namespace

FileAnnouncement ParseFileAnnouncement(const std::uint8_t* data, std::size_t n)
{
    FileAnnouncement a;
    std::size_t i = 0;
    while (i < n && data[i] != 0)
        ++i;
    a.name = QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(i));
    a.nameTerminated = i < n;
    if (!a.nameTerminated)
        return a;

    constexpr std::int64_t kMax32 = std::numeric_limits<std::int32_t>::max();
    // Dates up to the year 9999 or so; anything later is nonsense.
    constexpr std::int64_t kMaxDate = std::int64_t(1) << 38;
    FieldReader r{data, n, i + 1};
    std::int64_t v = 0;
    bool present = false;
    if (r.Next(10, kMax32, v, present)) {
        a.hasSize = true;
        a.size = static_cast<std::int32_t>(v);
    }
    if (r.Next(8, kMaxDate, v, present)) {
        a.hasDate = true;
        a.date = v;
    }
    r.Next(8, kMax32, v, present);  // mode
    r.Next(10, kMax32, v, present); // serial number
    if (r.Next(10, kMax32, v, present)) {
        a.hasFiles = true;
        a.files = static_cast<std::int32_t>(v);
    }
    if (r.Next(10, kMax32, v, present)) {
        a.hasBytes = true;
        a.bytes = static_cast<std::int32_t>(v);
    }
    return a;
}

QByteArray BuildFileAnnouncement(const QByteArray& name, std::int64_t size, std::int64_t date, int files,
                                 std::int64_t bytes)
{
    QByteArray out = name.left(name.indexOf('\0') < 0 ? name.size() : name.indexOf('\0'));
    out.append('\0');
    out.append(QByteArray::number(static_cast<qlonglong>(size)));
    out.append(' ');
    out.append(QByteArray::number(static_cast<qlonglong>(date), 8));
    out.append(" 0 0 ");
    out.append(QByteArray::number(files));
    out.append(' ');
    out.append(QByteArray::number(static_cast<qlonglong>(bytes)));
    out.append('\0');
    return out;
}

QString SafeReceivedName(const QByteArray& announced)
{
    QByteArray raw = announced;
    const qsizetype nul = raw.indexOf('\0');
    if (nul >= 0)
        raw.truncate(nul);
    // A name that is not UTF-8 comes from a Windows peer.
    QString name = QUtf8StringView(raw).isValidUtf8() ? QString::fromUtf8(raw) : DecodeWindows1256(raw);
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
    if (slash >= 0)
        name = name.mid(slash + 1);

    const QString decoded = name;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (IsUnsafeCharacter(name[i].unicode()) && !IsJoinerBetweenLetters(decoded, i))
            name[i] = QLatin1Char('_');
    }

    bool onlyDotsAndBlanks = true;
    for (QChar c : name)
        if (c != QLatin1Char('.') && c != QLatin1Char(' '))
            onlyDotsAndBlanks = false;
    if (onlyDotsAndBlanks)
        return QString();

    if (name.toUtf8().size() > kMaxFileNameBytes) {
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        QString ext = (dot > 0 && name.size() - dot <= 16) ? name.mid(dot) : QString();
        QString base = name.left(name.size() - ext.size());
        while (!base.isEmpty() && (base + ext).toUtf8().size() > kMaxFileNameBytes) {
            base.chop(1);
            // Never leave half of a surrogate pair behind.
            if (!base.isEmpty() && base.back().isHighSurrogate())
                base.chop(1);
        }
        // A joiner kept because it stood between two letters joins nothing
        // once the letter after it is cut off.
        while (!base.isEmpty() && (base.back() == QChar(0x200C) || base.back() == QChar(0x200D)))
            base.chop(1);
        name = base + ext;
        if (name.toUtf8().size() > kMaxFileNameBytes)
            name = name.left(kMaxFileNameBytes / 4);
    }
    return name;
}

} // namespace qv::zm
