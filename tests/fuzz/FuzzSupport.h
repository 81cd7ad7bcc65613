// What the fuzz targets share: reading a fuzzer's input as a sequence of
// choices and chunks, the application object that timers and sockets need,
// and the check that turns a broken promise into a finding.
#pragma once

#include <QCoreApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qv::fuzz {

// Reads an input from the front: small numbers that steer the target, and
// chunks of the bytes under test. Past the end every read yields zero or an
// empty chunk, so a target never needs to check before it reads.
class FuzzInput
{
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    std::size_t Remaining() const { return m_size - m_pos; }
    bool Empty() const { return m_pos == m_size; }

    std::uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    std::uint16_t Word()
    {
        const std::uint16_t low = Byte();
        return static_cast<std::uint16_t>(low | (Byte() << 8));
    }
    // Up to `max` bytes; `data` points into the input and stays valid.
    std::size_t Chunk(std::size_t max, const std::uint8_t*& data)
    {
        const std::size_t n = max < Remaining() ? max : Remaining();
        data = m_data + m_pos;
        m_pos += n;
        return n;
    }
    // Everything not read yet.
    std::size_t Rest(const std::uint8_t*& data) { return Chunk(Remaining(), data); }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// A promise of the code under test that the input broke: said on stderr and
// ended with abort(), which the fuzzer records as a crash with its input.
inline void Check(bool holds, const char* promise)
{
    if (holds)
        return;
    std::fprintf(stderr, "fuzz check failed: %s\n", promise);
    std::abort();
}

// The application object, created once for the life of the process: posted
// messages, timers and socket notifiers need one. Components are created and
// destroyed per input; the application stays.
inline void EnsureCoreApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
}

} // namespace qv::fuzz
