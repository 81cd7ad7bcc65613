#include "transfer/ZmodemFileInfo.h"

#include <QStringList>

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
    QString name = QString::fromUtf8(raw);
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
    if (slash >= 0)
        name = name.mid(slash + 1);

    // Control characters (C0, DEL, C1) would end up in logs and terminals.
    for (QChar& c : name) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u < 0xA0) || u == 0x2028 || u == 0x2029)
            c = QLatin1Char('_');
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
        name = base + ext;
        if (name.toUtf8().size() > kMaxFileNameBytes)
            name = name.left(kMaxFileNameBytes / 4);
    }
    return name;
}

} // namespace qv::zm
