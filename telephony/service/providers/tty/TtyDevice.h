// A line's view of its tty: open it exclusively, talk bytes, watch the
// carrier and work DTR. The real device (PosixTtyDevice) is the only code of
// the lines that sees termios or ioctl; tests put a fake in its place. Nothing
// here speaks AT: the modem line and the direct serial line both run on it
// (see CarrierWatch for the carrier).
//
// No call waits: Open is a handful of system calls, Write takes what the tty
// takes at once, and input arrives through the ready handler.
//
// Devices without modem-control lines (a pty, some USB adapters) say so with
// HasModemLines() == false: there a line learns of a lost call only from the
// end of the device (HungUp), and has no DTR to drop.
#pragma once

#include "telephony/service/TapiTypes.h"
#include "telephony/service/providers/tty/TtySettings.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>

namespace qv::tty {

// Why a line's tty could not be opened. Each has its own message, so that an
// operator knows whether to fix permissions or to close another program.
enum class OpenError
{
    None,
    NotFound,         // no such device
    PermissionDenied, // e.g. not in the dialout group
    Locked,           // another program holds the advisory lock (flock)
    Exclusive,        // another program holds the tty in exclusive mode (TIOCEXCL)
    LockFile,         // a UUCP lock file names a live process
    BadSettings,      // the tty refuses the speed or framing
    Failed            // anything else the system said
};

struct OpenResult
{
    OpenError error = OpenError::None;
    int osError = 0; // the Win32 number of the system's error, when there was one
    // Locked, Exclusive, LockFile: the process that holds the device (0 when
    // the system does not say, e.g. another user's process), and its name.
    long holderPid = 0;
    QString holderName;
    QString group; // PermissionDenied: the group that owns the device node
    bool ok() const { return error == OpenError::None; }
};

// An English sentence for the log and the error box, naming what the user
// can do about it (join the group, close the program that holds the device).
// `noun` is what the line calls its device: "modem device", "serial device".
QString OpenErrorText(const OpenResult& result, const QString& device, const QString& noun);

// The result a line's open reports for `result`: LINEERR_ALLOCATED when
// another program holds the device, LINEERR_NODEVICE when it does not exist,
// LINEERR_OPERATIONFAILED for the rest (0 when it opened).
tapi::LONG OpenLineError(const OpenResult& result);

// The name of the UUCP lock file for `device` in `lockDir` ("LCK..ttyUSB0").
QString LockFilePath(const QString& lockDir, const QString& device);

class TtyDevice
{
public:
    enum class ReadStatus
    {
        Data,
        Nothing,
        Closed // end of file or an I/O error: the device is gone
    };

    virtual ~TtyDevice() = default;

    // Opens `settings.device` non-blocking and exclusively, ignoring the
    // carrier (CLOCAL) so that a low DCD never holds the open, sets the speed
    // and flow control, and raises DTR. A UUCP lock file is taken in
    // `settings.lockDir` when that folder is writable and released by Close.
    virtual OpenResult Open(const TtySettings& settings) = 0;
    // Closes the tty (which also drops DTR). Nothing happens when closed.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // The descriptor handed out as the call's data channel; -1 when closed.
    virtual int Fd() const = 0;

    // Writes all of `bytes` without waiting. False when the tty fails, or
    // cannot take them all at once (its output held by flow control): what a
    // line writes itself is a few bytes, so a tty with no room for them is
    // stuck.
    virtual bool Write(QByteArrayView bytes) = 0;
    // Takes what has arrived, at most `max` bytes, without waiting. (The
    // modem line reads a byte at a time while a CONNECT may come, so that no
    // data byte that follows it is taken from the call's data channel.)
    virtual ReadStatus Read(QByteArray& out, int max) = 0;
    // Drops input that has arrived and was not read.
    virtual void DiscardInput() = 0;
    // Drops output that was written and has not left yet (the rest of a call's
    // data, so that a modem's escape sequence finds the line quiet).
    virtual void DiscardOutput() = 0;

    // `handler` runs from the event loop when input arrives while readiness
    // notification is on; it may read but must not close the device.
    virtual void SetReadyHandler(std::function<void()> handler) = 0;
    virtual void SetReadyNotify(bool on) = 0;

    virtual bool HasModemLines() const = 0;
    // The carrier detect line (meaningful only with modem lines).
    virtual bool Carrier() const = 0;
    // Raises or drops DTR. False when the device cannot.
    virtual bool SetDtr(bool high) = 0;
    // The far end is gone (hang-up or error on the descriptor), seen without
    // reading any of the data that may still be waiting.
    virtual bool HungUp() const = 0;
};

// A real tty (or a pty that stands in for one).
std::unique_ptr<TtyDevice> MakePosixTtyDevice();

} // namespace qv::tty
