// Filling and reading the variable-size structures of the API, with every
// size and offset checked against the caller's dwTotalSize.
#pragma once

#include "telephony/service/Provider.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstring>
#include <vector>

namespace tapi::detail {

// Which string form a caller uses: the W functions take and give UTF-16 (or
// what the device reports), the plain ones 8-bit text.
enum class Charset
{
    Wide,
    Narrow
};

// dwTotalSize of a caller's structure. Read byte-wise: callers may hand in
// buffers at any address (a VARSTRING one byte into a larger buffer, say).
inline DWORD TotalSize(const void* structure)
{
    DWORD total = 0;
    std::memcpy(&total, structure, sizeof total);
    return total;
}

// The format of the strings in a returned structure. It is the device's own,
// whichever form of the function was called: an application learns a line's
// format from one capability query and decodes every later string by it, so
// all of a device's structures must agree.
inline DWORD StructureFormat(DWORD deviceFormat, Charset)
{
    return deviceFormat == STRINGFORMAT_BINARY ? STRINGFORMAT_ASCII : deviceFormat;
}

// The fixed part of each structure for a negotiated API version.
DWORD FixedLineDevCaps(DWORD version);
DWORD FixedAddressCaps(DWORD version);
DWORD FixedCallInfo(DWORD version);
DWORD FixedCallStatus(DWORD version);
DWORD FixedCallParams(DWORD version);
DWORD FixedPhoneCaps(DWORD version);
DWORD FixedPhoneStatus(DWORD version);

// Text as a structure carries it: UTF-16 for STRINGFORMAT_UNICODE and _DBCS,
// 8-bit otherwise, with the terminating NUL; empty text is no bytes at all.
QByteArray EncodeString(const QString& text, DWORD stringFormat);
// A list of strings, each NUL-terminated, closed by one more NUL.
QByteArray EncodeStringList(const QStringList& list, DWORD stringFormat);

// Caller strings, read up to the first NUL; nullptr reads as empty.
QString DecodeWide(const char16_t* text, std::size_t maxChars = 4096);
QString DecodeNarrow(const char* text, std::size_t maxChars = 4096);

// Builds a structure T: the fixed part in Fixed(), variable parts added with
// Add(), then Write() lays everything into the caller's buffer. When the
// variable part does not fit, none of it is written, its sizes and offsets
// stay 0 and dwNeededSize tells what would have been needed.
template <typename T> class VarWriter
{
public:
    explicit VarWriter(DWORD fixedSize) : m_fixed(fixedSize) { std::memset(&m_struct, 0, sizeof(T)); }

    T& Fixed() { return m_struct; }

    void Add(DWORD T::*sizeField, DWORD T::*offsetField, const QByteArray& bytes)
    {
        if (bytes.isEmpty())
            return;
        // Fields beyond the fixed part of the caller's version do not exist
        // for it; writing them would overwrite its variable part.
        if (FieldOffset(sizeField) + sizeof(DWORD) > m_fixed ||
            FieldOffset(offsetField) + sizeof(DWORD) > m_fixed)
            return;
        m_parts.push_back({sizeField, offsetField, bytes});
    }

    // `buffer` holds at least `totalSize` bytes and totalSize >= the fixed part.
    void Write(void* buffer, DWORD totalSize)
    {
        DWORD needed = m_fixed;
        std::vector<DWORD> offsets;
        for (const Part& part : m_parts) {
            needed = (needed + 3u) & ~3u;
            offsets.push_back(needed);
            needed += static_cast<DWORD>(part.bytes.size());
        }
        const bool fits = needed <= totalSize;
        auto* out = static_cast<unsigned char*>(buffer);
        if (fits) {
            for (std::size_t i = 0; i < m_parts.size(); ++i) {
                m_struct.*(m_parts[i].sizeField) = static_cast<DWORD>(m_parts[i].bytes.size());
                m_struct.*(m_parts[i].offsetField) = offsets[i];
            }
        }
        m_struct.dwTotalSize = totalSize;
        m_struct.dwNeededSize = needed;
        m_struct.dwUsedSize = fits ? needed : m_fixed;
        std::memcpy(out, &m_struct, std::min<std::size_t>(m_fixed, sizeof(T)));
        if (fits) {
            DWORD end = m_fixed;
            for (std::size_t i = 0; i < m_parts.size(); ++i) {
                std::memset(out + end, 0, offsets[i] - end); // alignment gaps read as zero
                std::memcpy(out + offsets[i], m_parts[i].bytes.constData(),
                            static_cast<std::size_t>(m_parts[i].bytes.size()));
                end = offsets[i] + static_cast<DWORD>(m_parts[i].bytes.size());
            }
        }
    }

private:
    static std::size_t FieldOffset(DWORD T::*field)
    {
        static T probe{};
        return static_cast<std::size_t>(reinterpret_cast<const char*>(&(probe.*field)) -
                                        reinterpret_cast<const char*>(&probe));
    }

    struct Part
    {
        DWORD T::*sizeField;
        DWORD T::*offsetField;
        QByteArray bytes;
    };
    DWORD m_fixed;
    T m_struct;
    std::vector<Part> m_parts;
};

// Reads and checks a LINECALLPARAMS block the caller passed (nullptr: none).
// Every size/offset pair must lie inside dwTotalSize.
LONG ReadCallParams(const LINECALLPARAMS* params, DWORD version, Charset charset, CallParamsData& out);

} // namespace tapi::detail
