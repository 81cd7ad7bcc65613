#include "telephony/TapiBuffer.h"

#include <QByteArray>

#include <algorithm>
#include <new>

namespace qv {

namespace {
constexpr int kMaxRetries = 10;
constexpr std::size_t kMaxBuffer = 16u * 1024u * 1024u;
} // namespace

bool TapiBuffer::Allocate(std::size_t size)
{
    m_data.reset();
    m_size = 0;
    if (size < 12 || size > kMaxBuffer)
        return false;
    m_data.reset(new (std::nothrow) std::uint8_t[size]);
    if (!m_data)
        return false;
    std::memset(m_data.get(), 0, size);
    m_size = size;
    const std::uint32_t total = static_cast<std::uint32_t>(size);
    std::memcpy(m_data.get(), &total, sizeof total);
    return true;
}

std::uint32_t TapiBuffer::Word(std::size_t offset) const
{
    std::uint32_t value = 0;
    if (m_data && offset + sizeof value <= m_size)
        std::memcpy(&value, m_data.get() + offset, sizeof value);
    return value;
}

bool TapiBuffer::Bytes(std::uint32_t size, std::uint32_t offset, QByteArray& bytes) const
{
    bytes.clear();
    if (size == 0 || offset == 0 || !m_data)
        return false;
    // What the service did not fill is not part of the answer.
    const std::uint64_t limit = std::min<std::uint64_t>(m_size, std::max<std::uint32_t>(UsedSize(), 12));
    if (std::uint64_t(offset) + size > limit)
        return false;
    bytes = QByteArray(reinterpret_cast<const char*>(m_data.get() + offset), static_cast<qsizetype>(size));
    return true;
}

bool TapiBuffer::String(std::uint32_t size, std::uint32_t offset, bool wide, QString& text) const
{
    text.clear();
    QByteArray bytes;
    if (!Bytes(size, offset, bytes))
        return false;
    // Two zero bytes end the copy whatever the service wrote.
    bytes.append('\0').append('\0');
    if (wide) {
        const qsizetype units = bytes.size() / 2;
        const auto* data = reinterpret_cast<const char16_t*>(bytes.constData());
        qsizetype length = 0;
        while (length < units && data[length] != 0)
            ++length;
        text = QString::fromUtf16(data, length);
    } else {
        text = QString::fromLocal8Bit(bytes.constData());
    }
    return true;
}

ReadResult ReadGrowing(std::size_t startSize, std::int32_t tooSmallError,
                       const std::function<std::int32_t(void* buffer)>& query, TapiBuffer& buffer)
{
    std::size_t size = startSize;
    for (int retry = 0;; ++retry) {
        if (!buffer.Allocate(size))
            return {ReadStatus::NoMemory, 0};
        const std::int32_t result = query(buffer.Data());
        std::size_t next = 0;
        if (result == tooSmallError) {
            next = startSize + 10u * static_cast<std::size_t>(retry + 1);
        } else if (result < 0) {
            return {ReadStatus::ServiceError, result};
        } else if (buffer.NeededSize() > buffer.TotalSize()) {
            next = buffer.NeededSize();
        } else {
            return {ReadStatus::Ok, 0};
        }
        if (retry + 1 > kMaxRetries)
            return {ReadStatus::TooManyRetries, 0};
        if (next > kMaxBuffer)
            return {ReadStatus::NoMemory, 0};
        size = next;
    }
}

} // namespace qv
