// Reading and writing the fields of a line's configuration: the INI values of
// telephony.conf and the little-endian words and fixed text fields of a
// configuration block. Shared by the providers that keep such blocks.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <QtEndian>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace qv::linecfg {

// Every text field of a block holds this many bytes, NUL included.
constexpr int TextField = 64;

// QSettings hands back a list for a value with commas in it; a line's values
// are single texts, so put the commas back.
inline QString Text(const QVariant& v)
{
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList().join(QLatin1Char(','));
    return v.toString();
}

// One word a key may take ("rtscts") and the value it stands for.
template <class E> struct Word
{
    const char* text;
    E value;
};

// Reads `key` as one of `words` (case does not matter) into `out`. False when
// the key is missing, or holds another word: then `problems` gets a line that
// lists the words it may take, and `out` stays.
template <class E, std::size_t N>
bool ReadWord(const QVariantMap& values, const char* key, const Word<E> (&words)[N], E& out,
              QStringList& problems)
{
    if (!values.contains(QLatin1String(key)))
        return false;
    const QString text = Text(values.value(QLatin1String(key))).trimmed().toLower();
    for (const Word<E>& w : words) {
        if (text == QLatin1String(w.text)) {
            out = w.value;
            return true;
        }
    }
    QStringList allowed;
    for (const Word<E>& w : words)
        allowed << QLatin1String(w.text);
    problems
        << QStringLiteral("%1 = %2: expected one of %3").arg(QLatin1String(key), text, allowed.join(", "));
    return false;
}

// The word that ReadWord reads back as `value`; empty when `words` has none.
template <class E, std::size_t N> QString WordOf(const Word<E> (&words)[N], E value)
{
    for (const Word<E>& w : words) {
        if (w.value == value)
            return QLatin1String(w.text);
    }
    return {};
}

// The caller has checked that the block holds offset + 4 bytes.
inline std::uint32_t GetDword(const QByteArray& b, int offset)
{
    return qFromLittleEndian<std::uint32_t>(b.constData() + offset);
}

inline void PutDword(QByteArray& b, int offset, std::uint32_t value)
{
    qToLittleEndian<std::uint32_t>(value, b.data() + offset);
}

// A control character never belongs in a name, an address or a command.
inline bool IsControlByte(char c)
{
    return std::uint8_t(c) < 0x20 || c == 0x7F;
}

// A NUL-terminated text field; nullopt when the field has no terminator,
// holds a control character or is not UTF-8 (a damaged or forged block: a
// name we wrote is always UTF-8, addresses and commands are ASCII).
inline std::optional<QByteArray> GetText(const QByteArray& b, int offset)
{
    const char* p = b.constData() + offset;
    const void* nul = std::memchr(p, 0, TextField);
    if (!nul)
        return std::nullopt;
    QByteArray text(p, int(static_cast<const char*>(nul) - p));
    for (char c : text)
        if (IsControlByte(c))
            return std::nullopt;
    if (!QByteArrayView(text).isValidUtf8())
        return std::nullopt;
    return text;
}

// Control characters are written as "_", so that every block we write is one
// we read back.
inline void PutText(QByteArray& b, int offset, QByteArray text)
{
    for (char& c : text)
        if (IsControlByte(c))
            c = '_';
    // Cut on a character boundary so that a long name stays valid UTF-8.
    while (text.size() > TextField - 1) {
        text.chop(1);
        while (!text.isEmpty() && (std::uint8_t(text.back()) & 0xC0) == 0x80)
            text.chop(1);
        if (!text.isEmpty() && std::uint8_t(text.back()) >= 0xC0)
            text.chop(1);
    }
    std::memset(b.data() + offset, 0, TextField);
    std::memcpy(b.data() + offset, text.constData(), size_t(text.size()));
}

} // namespace qv::linecfg
