// A second program for the tests of a line's tty: it holds a device the way
// another program would, or opens one as the lines do, under whatever user
// the test starts it as.
//
//   vh_tty_open_probe hold-excl PATH    opens PATH in exclusive mode (TIOCEXCL)
//   vh_tty_open_probe hold-flock PATH   opens PATH under an advisory lock
//       both print "ready" and hold the device until standard input closes
//   vh_tty_open_probe open PATH         a line's open of PATH: prints
//       "opened" or the modem line's message, exit status 0 or 1
#include "telephony/service/providers/tty/TtyDevice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s hold-excl|hold-flock|open PATH\n", argv[0]);
        return 2;
    }
    const char* mode = argv[1];
    const char* path = argv[2];
    if (std::strcmp(mode, "open") == 0) {
        qv::tty::TtySettings settings;
        settings.device = QString::fromLocal8Bit(path);
        settings.lockDir.clear();
        auto device = qv::tty::MakePosixTtyDevice();
        const qv::tty::OpenResult r = device->Open(settings);
        const QByteArray text =
            r.ok() ? QByteArray("opened")
                   : qv::tty::OpenErrorText(r, settings.device, QStringLiteral("modem device")).toUtf8();
        std::printf("%s\n", text.constData());
        return r.ok() ? 0 : 1;
    }
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::printf("error %s\n", std::strerror(errno));
        return 1;
    }
    const bool held = std::strcmp(mode, "hold-excl") == 0 ? ::ioctl(fd, TIOCEXCL) == 0
                                                          : ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!held) {
        std::printf("error %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    ::close(fd);
    return 0;
}
