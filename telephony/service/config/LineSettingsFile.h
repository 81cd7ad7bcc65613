// Where a provider keeps the settings its lines are given from a
// configuration dialog: telephony.conf, and the number of each of its lines'
// sections in it. The factories that build providers from the file give each
// provider this; a provider made without it keeps what it is given in memory
// only.
//
// A provider writes a line's new settings first and takes them only when they
// are written, so that what the operator sees accepted is what the next start
// finds:
//
//     if (!m_file.Keep(line, "modem", keys, label, l.failure))
//         return LINEERR_OPERATIONFAILED; // and nothing changes
//     l.config = wanted;
#pragma once

#include <QList>
#include <QPair>
#include <QString>

#include <vector>

namespace tapi {

struct LineSettingsFile
{
    QString path;              // telephony.conf; empty: nothing is written
    std::vector<int> sections; // the section [lineN] of each line, by line

    // Writes `type` = `type` and then `keys` into the section of the
    // provider's line `line` with WriteLineSection; true when they are
    // written, or when the line has no section to write to. When the file
    // cannot take them: false, `failure` (the line's LineFailure) says that
    // the settings were not changed and why, and the log gets a line that
    // begins with `label` ("modem line 0").
    bool Keep(int line, const QString& type, QList<QPair<QString, QString>> keys, const QString& label,
              QString& failure) const;
};

} // namespace tapi
