// The port's input buffer: the most recent received bytes, oldest first, up
// to a fixed capacity. The port appends every received chunk while Enabled is
// true; the application searches it (for "NO CARRIER", for example).
#pragma once

#include <QByteArray>

#include <memory>

namespace qv {

class TBufferIn
{
public:
    TBufferIn();
    ~TBufferIn();
    TBufferIn(const TBufferIn&) = delete;
    TBufferIn& operator=(const TBufferIn&) = delete;

    // Capacity in bytes, 4000 at first. Setting a different value discards
    // the contents (Used becomes 0). A value below 1 is refused with a message
    // box and the old capacity stays.
    int Size() const { return m_size; }
    void SetSize(int size);

    // Number of valid bytes, 0 to Size, starting at Data().
    int Used() const { return m_used; }

    // Whether received chunks are appended; false at first.
    bool Enabled() const { return m_enabled; }
    void SetEnabled(bool enabled) { m_enabled = enabled; }

    // The held bytes. The storage has Size + 1 bytes and a zero byte at
    // position Size; nothing is written after the held bytes, so the text is
    // not zero-terminated at Used. Valid until the next change of the buffer.
    const char* Data() const { return m_data.get(); }
    // A copy of the held bytes.
    QByteArray Contents() const { return QByteArray(m_data.get(), m_used); }

    // Appends a received chunk, keeping the newest Size bytes.
    void Append(const char* data, int count);

    // Position (0-based) of the first occurrence of `subStr` at or after
    // `startPos` (a negative start searches from 0), or -1. Without
    // `caseSensitive` the ASCII letters compare equal to their other case.
    int Find(int startPos, const QByteArray& subStr, bool caseSensitive) const;

    void Clear() { m_used = 0; }

private:
    std::unique_ptr<char[]> m_data;
    int m_size = 0;
    int m_used = 0;
    bool m_enabled = false;
};

} // namespace qv
