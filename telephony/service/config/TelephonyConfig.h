// telephony.conf in the settings folder: which line devices the program
// offers, read and, for the settings a line is given, written back.
//
// The file is INI. Each line is a section [lineN] (N = 0, 1, ...) with a
// `type`; lines are taken in the order of N. Numbers dialled on tcp lines are
// looked up in [phonebook] first. Other sections are left alone.
//
//     [line0]
//     type    = tcp
//     name    = Internet line
//     address = 127.0.0.1
//     port    = 2323
//     mode    = telnet          ; or raw
//
//     [line1]
//     type    = modem           ; read by the modem provider's factory
//     device  = /dev/ttyUSB0
//
//     [phonebook]
//     7001 = bbs.example.org:23
//
// Each line type's provider reads its own keys from the sections here, through
// a factory of its own; the providers are built and installed by
// InstallConfiguredProviders (providers/tcp/ConfiguredProviders.h), which also
// makes the default line when the file gives none.
#pragma once

#include "telephony/service/Provider.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace tapi {

// One [lineN] section: its number, its type (lower case) and all its keys.
struct LineSection
{
    int index = 0;
    QString type;
    QVariantMap values;
};

struct TelephonyConfig
{
    QString path;                   // where the file is, or would be
    std::vector<LineSection> lines; // by index
    QMap<QString, QString> phonebook;
    QStringList problems; // one English line per thing that could not be used
    bool fromFile = false;
};

QString TelephonyConfigPath(const QString& settingsFolder);
TelephonyConfig LoadTelephonyConfig(const QString& settingsFolder);

// Makes the provider of all sections of one type (in index order). A section
// it cannot use is reported in `problems` and left out. May return null.
using LineTypeFactory = std::function<std::unique_ptr<Provider>(
    const TelephonyConfig& config, const std::vector<LineSection>& sections, QStringList& problems)>;
using LineTypeFactories = std::map<QString, LineTypeFactory>;

// Writes the keys of line section [line`index`] of the INI file at `path`:
// each key already in the section gets its new value on its own line, the
// others are added at the section's end, and a missing section (or file) is
// added. Every other line of the file (comments, other sections) stays as it
// was. Texts are written quoted, so that commas, semicolons and quotes in them
// read back whole. False, with an English line in `error`, when the file
// cannot be read or written.
bool WriteLineSection(const QString& path, int index, const QList<QPair<QString, QString>>& keys,
                      QString& error);

} // namespace tapi
