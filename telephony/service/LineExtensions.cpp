#include "telephony/service/LineExtensions.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace tapi::devspecific {

namespace {

constexpr int HeaderSize = 16;

bool ValidType(const QByteArray& type)
{
    return !type.isEmpty() && type.size() <= MaxTypeLength &&
           std::all_of(type.begin(), type.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

DWORD Dword(const QByteArray& b, int offset)
{
    return qFromLittleEndian<DWORD>(b.constData() + offset);
}

} // namespace

bool IsValid(const TerminalInfo& info)
{
    return !info.types.isEmpty() && info.types.size() <= MaxTypes &&
           std::all_of(info.types.begin(), info.types.end(), ValidType) && info.columns >= 1 &&
           info.columns <= MaxSize && info.rows >= 1 && info.rows <= MaxSize;
}

QByteArray EncodeTerminalInfo(const TerminalInfo& info)
{
    QByteArray b(HeaderSize, '\0');
    qToLittleEndian<DWORD>(TerminalInfoCode, b.data());
    qToLittleEndian<DWORD>(DWORD(info.columns), b.data() + 4);
    qToLittleEndian<DWORD>(DWORD(info.rows), b.data() + 8);
    qToLittleEndian<DWORD>(DWORD(info.types.size()), b.data() + 12);
    for (const QByteArray& type : info.types) {
        b += type;
        b += '\0';
    }
    return b;
}

std::optional<TerminalInfo> DecodeTerminalInfo(const QByteArray& block)
{
    if (block.size() < HeaderSize || Dword(block, 0) != TerminalInfoCode)
        return std::nullopt;
    const DWORD count = Dword(block, 12);
    if (count == 0 || count > DWORD(MaxTypes))
        return std::nullopt;
    TerminalInfo info;
    info.columns = int(std::min<DWORD>(Dword(block, 4), MaxSize + 1));
    info.rows = int(std::min<DWORD>(Dword(block, 8), MaxSize + 1));
    int at = HeaderSize;
    for (DWORD i = 0; i < count; ++i) {
        const void* nul = std::memchr(block.constData() + at, 0, size_t(block.size() - at));
        if (!nul)
            return std::nullopt;
        const int end = int(static_cast<const char*>(nul) - block.constData());
        info.types.append(block.mid(at, end - at));
        at = end + 1;
    }
    if (at != block.size() || !IsValid(info))
        return std::nullopt;
    return info;
}

} // namespace tapi::devspecific
