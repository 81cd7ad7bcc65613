// Where saved line configurations live: small INI files in the user's
// configuration folder, one per root key. A key names a group (its parts
// separated by '\' or '/'), a value holds bytes.
//
// The root keys keep their customary numbers, so that callers written for
// them work unchanged; any other number, 0 included, names no store.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace qv {

constexpr std::uint32_t HKEY_CLASSES_ROOT = 0x80000000u;
constexpr std::uint32_t HKEY_CURRENT_USER = 0x80000001u;
constexpr std::uint32_t HKEY_LOCAL_MACHINE = 0x80000002u;
constexpr std::uint32_t HKEY_USERS = 0x80000003u;
constexpr std::uint32_t HKEY_CURRENT_CONFIG = 0x80000005u;

namespace linestore {

// The file behind `rootKey`, or empty when it names none.
QString FilePath(std::uint32_t rootKey);

// Writes `bytes` as `valueName` of `key`; false when the store cannot be
// written (no such root key, an empty value name, a folder or file that
// cannot be created or written).
bool Write(std::uint32_t rootKey, const QString& key, const QString& valueName, const QByteArray& bytes);

// False when the value does not exist or is not a byte value.
bool Read(std::uint32_t rootKey, const QString& key, const QString& valueName, QByteArray& bytes);

// A saved line configuration: one byte naming the line, then the VARSTRING of
// "comm/datamodem" as the service filled it, at most this many bytes.
constexpr std::uint32_t SavedVarStringBytes = 1024;

// The device configuration held in a saved value for line `lineId`: 0 with
// `config` set to the VARSTRING's string; 105 for a value of another line; -1
// for a value whose sizes and offsets do not hold together. Everything the
// value says about itself is checked before anything of it is used.
int ConfigFromValue(const QByteArray& value, int lineId, QByteArray& config);

} // namespace linestore
} // namespace qv
