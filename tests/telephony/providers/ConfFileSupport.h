// telephony.conf for the tests of the settings a line keeps: the file as the
// operator wrote it, the providers the next start builds from it, and a file
// that cannot be written.
#pragma once

#include "telephony/service/providers/tcp/ConfiguredProviders.h"

#include <QFile>
#include <QTemporaryDir>

namespace qv::test {

inline bool WriteConf(const QString& folder, const QByteArray& text)
{
    QFile f(tapi::TelephonyConfigPath(folder));
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

// The providers a start builds from the folder's telephony.conf; what it
// could not use goes to `problems`.
inline std::vector<std::unique_ptr<tapi::Provider>>
StartFrom(const QString& folder, const tapi::LineTypeFactories& types, QStringList& problems)
{
    tapi::TelephonyConfig config = tapi::LoadTelephonyConfig(folder);
    auto providers = tapi::BuildConfiguredProviders(config, types);
    problems = config.problems;
    return providers;
}

// One line of `type` on `device`, read from a telephony.conf in `dir` that
// cannot be written because its folder is a regular file: the tests run as
// root, whom a read-only file does not stop.
inline tapi::TelephonyConfig UnwritableConf(const QTemporaryDir& dir, const QString& type,
                                            const QString& device)
{
    QFile plain(dir.filePath("plain"));
    if (!plain.open(QIODevice::WriteOnly))
        return {};
    tapi::TelephonyConfig config;
    config.path = tapi::TelephonyConfigPath(plain.fileName());
    config.lines = {{0, type, {{"device", device}}}};
    return config;
}

// Whether a line's failure says that it kept nothing, because its file could
// not be written.
inline bool SaysNotKept(const QString& failure)
{
    return failure.startsWith("The settings were not changed, since they could not be kept: ") &&
           failure.contains("cannot be written");
}

} // namespace qv::test
