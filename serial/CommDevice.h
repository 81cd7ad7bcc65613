// The one place where a port meets the operating system: a tty opened
// exclusively and set up from line settings, or a descriptor that belongs to
// someone else (the data channel of a call: a tty, a socket or a socketpair
// end). The port's rules (codes, events, the poll) live in QvSerialPort; this
// class only reports what the system said. OS errors are Win32 numbers, as
// qv::LastOsError gives them.
#pragma once

#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace qv {

// Line settings in plain numbers: bit/s, 5 to 8 data bits, stop bits and
// parity as the ordinals of TStopBits and TParity, flow control as the
// ordinals of THwFlowControl and TSwFlowControl.
struct TCommSettings
{
    int baudRate = 115200;
    int dataBits = 8;
    int stopBits = 0;
    int parity = 0;
    int hardwareFlow = 0;
    int softwareFlow = 0;
};

class CommDevice
{
public:
    enum class Kind
    {
        None,
        Tty,
        Socket,
        Stream
    };
    enum class ReadStatus
    {
        Data,
        Nothing,
        EndOfFile,
        Failed
    };

    CommDevice();
    ~CommDevice(); // Close()
    CommDevice(const CommDevice&) = delete;
    CommDevice& operator=(const CommDevice&) = delete;

    // Opens `path` for reading and writing, non-blocking, and takes it
    // exclusively (an advisory lock plus the tty's exclusive mode). Returns 0
    // or an OS error; 32 (sharing violation) when another holder has it.
    int Open(const QString& path);
    // Uses `fd` without owning it: Close leaves it open. The descriptor is
    // made non-blocking for as long as it is attached. Returns 0 or an OS
    // error (6 for a descriptor that is not open).
    int Attach(int fd);
    // Releases the device; an attached descriptor is left open.
    void Close();

    bool IsOpen() const;
    Kind DeviceKind() const;
    bool Owned() const;
    int Handle() const; // -1 when closed; 0 is a valid descriptor

    // Raw mode and the given line settings, on a tty only (elsewhere 0).
    // Returns 0; -10 for a speed or a framing this system cannot give; -1
    // when the system refuses the settings.
    int Configure(const TCommSettings& settings);
    static bool SpeedSupported(int baudRate);
    // Every speed SpeedSupported takes, slowest first.
    static QList<int> SupportedSpeeds();

    // A serial driver's counts of line events since it was loaded.
    struct LineCounters
    {
        long frame = 0;
        long overrun = 0;
        long parity = 0;
        long breaks = 0;
        long bufferOverrun = 0;
    };
    // Tests: answers in place of the driver's counters for every tty
    // (returning false: the driver has none); nullptr restores the driver.
    using LineCounterProbe = std::function<bool(int fd, LineCounters& counters)>;
    static void SetLineCounterProbe(LineCounterProbe probe);

    // Starts counting line errors and breaks from now on, where the driver
    // counts them (a serial driver does; a pty or a socket does not).
    // Returns whether counters are available.
    bool StartLineWatch();
    // Whether errors or breaks were counted since the last look.
    struct LineEvents
    {
        bool breaks = false;
        bool errors = false; // framing, overrun, parity, buffer overrun
    };
    LineEvents TakeLineEvents();

    // Reads up to `maxCount` bytes that have arrived, waiting at most
    // `waitMs` for the first of them (0: do not wait). `count` is the number
    // read; `osError` is set for Failed.
    ReadStatus Read(char* buffer, int maxCount, int waitMs, int& count, int& osError);

    // Writes as much of `data` as the system takes now, without waiting.
    // Returns 0 with `written` (possibly 0), or an OS error.
    int WriteSome(const char* data, int count, int& written);
    // Waits at most `waitMs` until more can be written. Returns 0 when
    // writable (or when the device reports an error the next write names),
    // 1460 (time-out), 109 (broken pipe) when the far end has hung up and
    // nothing can be written any more, or an OS error.
    int WaitWritable(int waitMs);

    // Bytes accepted but not yet sent: a serial line's output queue, or a
    // socket's unsent bytes. -1 when the system cannot tell (a pty, whose
    // written bytes are already in the other end's input).
    int OutQueueBytes() const;
    // Whether OutQueueBytes can tell, short of a failing call.
    bool QueueMeasured() const;
    // Asks the system to report the device writable only while fewer than
    // `bytes` wait unsent (a TCP socket can), so that a writer whose queue
    // is full is woken as soon as it has room. Returns whether it will; an
    // attached descriptor gets its own setting back at Close.
    bool WakeWhenQueueBelow(int bytes);
    // The line's rate in bytes per second (its speed over ten bits) for a
    // serial line; 0 when there is none to know (a pty, a socket).
    int BytesPerSecond() const;
    // Whether discarding output can take back bytes already written: only a
    // serial line has a queue of its own. Elsewhere Purge leaves output alone.
    bool DiscardsOutput() const;
    // Waits at most `waitMs` until no more than `bytes` are left in the
    // output queue. Returns whether that happened.
    bool DrainTo(int bytes, int waitMs);
    // Discards pending input and/or output. Returns 0 or an OS error.
    int Purge(bool input, bool output);

    // Calls `handler` from the event loop whenever the device has data (or
    // its end was reached) while readiness notification is on. Off at first.
    void SetReadyHandler(std::function<void()> handler);
    void SetReadyNotify(bool on);
    bool ReadyNotify() const;
    // The same for room to write: `handler` runs from the event loop when
    // more can be written (or the device has hung up) while this is on.
    void SetWritableHandler(std::function<void()> handler);
    void SetWritableNotify(bool on);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace qv
