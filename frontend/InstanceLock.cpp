#include "frontend/InstanceLock.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vh {

InstanceLock::InstanceLock(const QString& folder)
{
    QString path = folder;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    path += QStringLiteral("vh-terminal.lock");
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0)
        return;
    // The lock is on the open file, so it goes with the process however the
    // process ends; a copy in this same process opens the file anew and is
    // refused as well.
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        m_held = errno != EWOULDBLOCK;
        ::close(m_fd);
        m_fd = -1;
    }
}

InstanceLock::~InstanceLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace vh
