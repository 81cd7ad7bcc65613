#include "serial/BufferIn.h"

#include "common/Component.h"
#include "common/ErrorCodes.h"

#include <cstring>

namespace qv {

namespace {

char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

TBufferIn::TBufferIn()
{
    SetSize(4000);
}

TBufferIn::~TBufferIn() = default;

void TBufferIn::SetSize(int size)
{
    if (size == m_size)
        return;
    if (size < 1) {
        ShowMessage(QStringLiteral("Value must be greater than 0."));
        return;
    }
    m_data = std::make_unique<char[]>(static_cast<std::size_t>(size) + 1);
    m_data[size] = 0;
    m_size = size;
    m_used = 0;
}

void TBufferIn::Append(const char* data, int count)
{
    if (count <= 0 || !data)
        return;
    if (count >= m_size) {
        std::memcpy(m_data.get(), data + (count - m_size), static_cast<std::size_t>(m_size));
        m_used = m_size;
    } else if (m_used + count > m_size) {
        const int keep = m_size - count;
        std::memmove(m_data.get(), m_data.get() + (m_used - keep), static_cast<std::size_t>(keep));
        std::memcpy(m_data.get() + keep, data, static_cast<std::size_t>(count));
        m_used = m_size;
    } else {
        std::memcpy(m_data.get() + m_used, data, static_cast<std::size_t>(count));
        m_used += count;
    }
}

int TBufferIn::Find(int startPos, const QByteArray& subStr, bool caseSensitive) const
{
    if (startPos < 0)
        startPos = 0;
    const int length = static_cast<int>(subStr.size());
    if (length == 0 || startPos >= m_used || m_used - startPos < length)
        return -1;
    // Comparing in place needs no case-folded copies, so there is no
    // allocation that could fail here.
    const char* held = m_data.get();
    for (int p = startPos; p <= m_used - length; ++p) {
        int i = 0;
        if (caseSensitive) {
            while (i < length && held[p + i] == subStr[i])
                ++i;
        } else {
            while (i < length && UpperAscii(held[p + i]) == UpperAscii(subStr[i]))
                ++i;
        }
        if (i == length)
            return p;
    }
    return -1;
}

} // namespace qv
