// The virtual modems of tests/support run in a helper process of their own
// (vh_virtual_modem_host): a modem line waits on its tty while it opens, so
// the modems it talks to must not share the test's thread.
#pragma once

#include "tests/support/Wait.h"

#include <QProcess>

namespace qv::test {

// The virtual modems' process and its one-line command protocol.
class ModemHost final
{
public:
    bool Start()
    {
        m_process.setProgram(QStringLiteral(VH_MODEM_HOST));
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        return m_process.waitForStarted(5000);
    }
    ~ModemHost()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.write("quit\n");
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }
    QByteArray Command(const QByteArray& command)
    {
        m_process.write(command + '\n');
        if (!WaitUntil([this] { return m_process.canReadLine(); }, 5000))
            return "err no reply";
        return m_process.readLine().trimmed();
    }
    // The modems vanish at once, as an unplugged USB modem does.
    void Kill()
    {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
    QByteArray CommandLog(int modem)
    {
        return QByteArray::fromHex(Command("log " + QByteArray::number(modem)).mid(3));
    }

private:
    QProcess m_process;
};

} // namespace qv::test
