#include "frontend/SendList.h"

#include "common/FileList.h"

namespace vh {

QString BuildSendList(const QStringList& names, QStringList& refused)
{
    QString list;
    for (const QString& name : names) {
        if (qv::HasFileListSeparator(name)) {
            refused << name;
            continue;
        }
        list += qv::EscapeFileListName(name) + QStringLiteral("\r\n");
    }
    return list;
}

} // namespace vh
