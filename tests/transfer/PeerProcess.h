// A black-box peer program (sz, rz, socat) run as a child process whose
// standard input and output are the slave end of a fresh pseudo-terminal;
// the test gets the master end.
#pragma once

#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace qv::test {

class PeerProcess
{
public:
    PeerProcess() = default;
    ~PeerProcess()
    {
        if (m_pid > 0 && !Exited()) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    static bool Available(const char* program)
    {
        const std::string path = std::string("/usr/bin/") + program;
        return ::access(path.c_str(), X_OK) == 0;
    }

    // Starts `args` (args[0] is the program) in `folder`. Returns the pty
    // master, owned by the caller, or -1.
    int Start(const QStringList& args, const QString& folder)
    {
        int master = -1;
        int slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return -1;
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        ::fcntl(master, F_SETFD, FD_CLOEXEC);

        std::vector<std::string> argv;
        for (const QString& a : args)
            argv.push_back(a.toStdString());
        const std::string dir = folder.toStdString();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setsid();
            ::ioctl(slave, TIOCSCTTY, 0);
            ::dup2(slave, 0);
            ::dup2(slave, 1);
            // VH_PEER_LOG names a file for the peer's diagnostics.
            const char* log = ::getenv("VH_PEER_LOG");
            const int devnull = ::open(log ? log : "/dev/null", O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(devnull, 2);
            if (slave > 2)
                ::close(slave);
            if (::chdir(dir.c_str()) != 0)
                ::_exit(126);
            std::vector<char*> cargs;
            for (auto& a : argv)
                cargs.push_back(a.data());
            cargs.push_back(nullptr);
            ::execvp(cargs[0], cargs.data());
            ::_exit(127);
        }
        ::close(slave);
        if (m_pid < 0) {
            ::close(master);
            return -1;
        }
        return master;
    }

    bool Exited()
    {
        if (m_exited)
            return true;
        int status = 0;
        if (m_pid > 0 && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_exited = true;
            m_status = status;
        }
        return m_exited;
    }
    // The exit code, or 128 + signal.
    int ExitCode() const
    {
        if (WIFEXITED(m_status))
            return WEXITSTATUS(m_status);
        return 128 + WTERMSIG(m_status);
    }
    void Signal(int sig)
    {
        if (m_pid > 0 && !m_exited)
            ::kill(m_pid, sig);
    }

private:
    pid_t m_pid = -1;
    bool m_exited = false;
    int m_status = 0;
};

} // namespace qv::test
