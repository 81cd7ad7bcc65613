// Reading the service's variable-size structures: a buffer that grows until
// the answer fits, and strings addressed by size and offset inside it.
// Internal to QvPhone.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>

namespace qv {

class TapiBuffer
{
public:
    // Allocates `size` zeroed bytes with dwTotalSize set; false without memory.
    bool Allocate(std::size_t size);
    std::size_t Size() const { return m_size; }
    void* Data() { return m_data.get(); }
    const void* Data() const { return m_data.get(); }
    template <class T> T* As() { return reinterpret_cast<T*>(m_data.get()); }
    template <class T> const T* As() const { return reinterpret_cast<const T*>(m_data.get()); }

    // The 32-bit word at `offset`; 0 outside the buffer.
    std::uint32_t Word(std::size_t offset) const;
    std::uint32_t TotalSize() const { return Word(0); }
    std::uint32_t NeededSize() const { return Word(4); }
    std::uint32_t UsedSize() const { return Word(8); }

    // The bytes [offset, offset + size) when they lie inside both the buffer
    // and the part the service filled; false (and nothing) otherwise, and for
    // a size or an offset of 0.
    bool Bytes(std::uint32_t size, std::uint32_t offset, QByteArray& bytes) const;

    // A string of the structure, cut at its first NUL: UTF-16 when `wide`,
    // 8-bit text in the locale's encoding otherwise. False when absent.
    bool String(std::uint32_t size, std::uint32_t offset, bool wide, QString& text) const;

private:
    std::unique_ptr<std::uint8_t[]> m_data;
    std::size_t m_size = 0;
};

enum class ReadStatus
{
    Ok,
    ServiceError,
    TooManyRetries,
    NoMemory
};

struct ReadResult
{
    ReadStatus status = ReadStatus::Ok;
    std::int32_t error = 0; // the service's error for ServiceError
    bool ok() const { return status == ReadStatus::Ok; }
};

// Queries into a buffer of `startSize` bytes and grows it while the service
// needs more: to dwNeededSize, or, after `tooSmallError`, to startSize + 10 x
// the retry number. After 10 retries the read gives up. A query that reports
// an absurd need (beyond 16 MiB) counts as running out of memory.
ReadResult ReadGrowing(std::size_t startSize, std::int32_t tooSmallError,
                       const std::function<std::int32_t(void* buffer)>& query, TapiBuffer& buffer);

} // namespace qv
