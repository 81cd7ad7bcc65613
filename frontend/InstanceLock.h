// Which copy of the program owns a settings folder's lines. The first copy
// started on a folder holds its lock for as long as it runs; a second copy
// learns that the lines are another program's instead of fighting over the
// modem or the listening port.
#pragma once

#include <QString>

namespace vh {

class InstanceLock
{
public:
    // Takes the lock of `folder` (a file "vh-terminal.lock" in it) if no
    // other copy holds it. A folder where the lock file cannot be made at all
    // counts as free: the window's write test reports that folder.
    explicit InstanceLock(const QString& folder);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // False when another copy runs on this folder.
    bool Held() const { return m_held; }

private:
    int m_fd = -1;
    bool m_held = true;
};

} // namespace vh
