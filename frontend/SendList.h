// The text of file names handed to the transfer component for sending.
#pragma once

#include <QString>
#include <QStringList>

namespace vh {

// Each name followed by CR LF, with its wildcard characters escaped so that it
// names exactly that file. A name that holds a list separator ("|", CR or LF)
// cannot be carried and is put into `refused` instead.
QString BuildSendList(const QStringList& names, QStringList& refused);

} // namespace vh
