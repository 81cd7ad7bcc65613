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
//     QString error;
//     if (!m_file.Keep(line, keys, error)) {
//         l.failure = NotKeptText(error);   // the line's LineFailure()
//         return LINEERR_OPERATIONFAILED;   // and nothing changes
//     }
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

    // Writes `keys` into the section of the provider's line `line` with
    // WriteLineSection; true when they are written, or when the line has no
    // section to write to. False, with WriteLineSection's English line in
    // `error`, when the file cannot take them.
    bool Keep(int line, const QList<QPair<QString, QString>>& keys, QString& error) const;
};

// What a line says when settings it was given could not be kept, from the
// error of Keep(): the settings were not taken.
QString NotKeptText(const QString& error);

} // namespace tapi
