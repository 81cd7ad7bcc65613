// The file announcement carried by the ZFILE subpacket, and the rules that
// turn a name received from the remote into a name that is safe to create in
// the receive folder.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace qv::zm {

// The fields of an announcement. A field that is missing, not made of its
// digits, or out of range is reported as absent.
struct FileAnnouncement
{
    QByteArray name; // bytes up to the first NUL
    bool nameTerminated = false;
    bool hasSize = false;
    std::int32_t size = 0; // 0 .. 2^31 - 1
    bool hasDate = false;
    std::int64_t date = 0; // seconds since 1970-01-01 00:00:00 local time
    bool hasFiles = false;
    std::int32_t files = 0;
    bool hasBytes = false;
    std::int32_t bytes = 0;
};

// Reads an announcement; never reads past `n`.
FileAnnouncement ParseFileAnnouncement(const std::uint8_t* data, std::size_t n);

// name NUL size date(octal) 0 0 files bytes NUL. The name is written as
// given; NUL bytes inside it cannot be carried and are cut there.
QByteArray BuildFileAnnouncement(const QByteArray& name, std::int64_t size, std::int64_t date, int files,
                                 std::int64_t bytes);

// The plain name under which an announced name may be stored: read as UTF-8,
// or as Windows-1256 when it is not valid UTF-8; the last part of any "/" or
// "\" path (so "../x", "/etc/x", "C:\x" and "\\server\x" all become "x");
// control characters and the invisible marks that reorder or hide text
// (U+200B-U+200F, U+202A-U+202E, U+2066-U+2069, U+FEFF; a joiner or
// non-joiner between two letters stays) replaced by "_"; cut to the longest
// name the file system takes (its extension kept). Empty when nothing safe
// is left: an empty name, ".", "..", or a name of only dots and blanks.
QString SafeReceivedName(const QByteArray& announced);

// The longest file name, in bytes of its UTF-8 form.
constexpr int kMaxFileNameBytes = 255;

} // namespace qv::zm
