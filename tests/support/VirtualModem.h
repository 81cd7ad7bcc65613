// A Hayes modem emulator for tests: the program under test opens the slave end
// of a pty pair (DevicePath()) as it would a modem's tty; the emulator answers
// AT commands on the master end and carries calls over loopback TCP to another
// VirtualModem, so two modem lines can call each other inside one test. It
// never blocks (what the host does not read yet waits in a buffer), so it can
// run on the thread of the program under test.
//
// It does what a real modem does where the tests look: echo (E), verbose or
// numeric results (V), quiet (Q), auto-answer (S0), RING every few seconds
// with caller-ID lines after the first once a caller-ID command has turned
// them on, CONNECT with a rate, "+++" honoured only with its guard times (S12,
// in fiftieths of a second) before ATH, and "NO CARRIER" when the remote
// leaves. Faults on demand: busy, no dial tone, no answer, and a modem that
// never says anything.
//
// A pty has no modem-control lines. The modem keeps its own DTR and DCD
// (SetDtr, Dcd) for a test's device to wire to the line under test; it acts
// on DTR as &D tells it (0 ignore, 1 command phase, 2 hang up) and shows the
// carrier on DCD as &C tells it (0 always, 1 while connected). Without such
// wiring the end of a call reaches the host only as "NO CARRIER" in its data
// stream.
//
// Quirks of real hardware, each off by default and switched per test: see
// Quirks.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;

namespace qv::test {

class VirtualModem : public QObject
{
    Q_OBJECT
public:
    enum class Fault
    {
        None,
        Busy,
        NoDialtone,
        NoAnswer,
        Silent
    };

    // The four caller-ID commands modems know, and which of them this one
    // takes (the others are answered ERROR).
    enum class CallerIdDialect
    {
        Vcid, // +VCID
        Cid,  // #CID
        Ccid, // %CCID
        Clip  // +CLIP
    };
    // How the formatted caller ID reads.
    enum class CallerIdStyle
    {
        Equals,       // "NMBR = 5551234"
        Colon,        // "NMBR: 5551234"
        DialableMesg, // "DDN_NMBR = 5551234", the name as a MESG data item
    };
    struct Quirks
    {
        bool noDcd = false;         // the cable has no DCD: it reads low whatever happens
        bool dtrIgnored = false;    // DTR does nothing, whatever &D says
        bool echoStuck = false;     // echoes commands even after E0
        bool escapeIgnored = false; // "+++" never brings the command phase back
        CallerIdDialect callerIdDialect = CallerIdDialect::Vcid;
        CallerIdStyle callerIdStyle = CallerIdStyle::Equals;
        QByteArray ring = "RING"; // "RING 1", "RING/0", "+CRING: DATA", ...
        int lateReplies = 0;      // this many command results come late,
        int lateReplyMs = 0;      //   by this much, the modem busy meanwhile
    };

    explicit VirtualModem(QObject* parent = nullptr);
    ~VirtualModem() override;

    // Opens the pty pair and starts listening on 127.0.0.1 (port 0: any free
    // port). False with `error` set when either fails.
    bool Start(QString* error = nullptr, std::uint16_t port = 0);

    QString DevicePath() const { return m_slavePath; }
    std::uint16_t Port() const;

    // Numbers this modem can dial: number -> the TCP port of another modem.
    void AddDirectoryEntry(const QString& number, std::uint16_t port) { m_directory[number] = port; }
    // What this modem tells the called side as its caller ID.
    void SetOwnNumber(const QString& number, const QString& name = {});
    void SetFault(Fault fault) { m_fault = fault; }
    // Milliseconds between RINGs of an incoming call (a real line: 6000).
    void SetRingIntervalMs(int ms) { m_ringIntervalMs = ms; }
    // Whether caller-ID lines follow the first RING, as after AT+VCID=1
    // (a caller-ID command of the right dialect turns it on too).
    void SetCallerIdEnabled(bool on) { m_callerId = on ? 1 : 0; }
    void SetQuirks(const Quirks& quirks) { m_quirks = quirks; }
    // Dials `number` as if its own host had sent ATD (a caller without a
    // line of its own under test).
    void DialOut(const QString& number) { Dial(number.toLatin1()); }
    // The modem's register n := value, as "ATSn=value" would.
    void SetRegister(int n, int value);

    // Modem-control lines, for a device that wires them to the host.
    void SetDtr(bool high);
    bool Dtr() const { return m_dtr; }
    int DtrDrops() const { return m_dtrDrops; } // how often DTR went down
    bool Dcd() const;
    // The device goes away at once, as an unplugged USB modem does: the
    // host's tty reads as hung up.
    void Unplug();

    // What the tests read back.
    bool InDataMode() const { return m_mode == Mode::Data; }
    // A call is up (in the data phase or, after "+++", in the command phase).
    bool Online() const { return m_connected; }
    bool OffHook() const { return m_call != nullptr; }
    int RingsSent() const { return m_ringsSent; }
    int Escapes() const { return m_escapes; }              // "+++" taken as the escape
    QByteArray CommandLog() const { return m_commandLog; } // each command line, CR-terminated
    int Register(int n) const { return (n >= 0 && n < 100) ? m_s[n] : -1; }

    // The remote side of the current call goes away, as if it hung up.
    void DropRemote();

signals:
    void commandReceived(const QByteArray& line);
    void stateChanged();

private:
    enum class Mode
    {
        Command,
        Dialling,
        Ringing,
        Data
    };

    void OnMasterReadable();
    void OnIncomingConnection();
    void OnCallReadable();
    void OnCallClosed();
    void ToHost(const QByteArray& bytes);
    void FlushToHost();
    void ReleaseLateReply();
    void Result(int numeric, const char* verbose);
    void ResultText(const QByteArray& text);
    void ExecuteLine(const QByteArray& line);
    enum class LineResult
    {
        Ok,
        Error,
        Reported
    };
    LineResult ExecuteCommands(QByteArray commands);
    void Dial(const QByteArray& number);
    void Answer();
    void HangUp();
    void StartRinging();
    void Ring();
    void SendCallerId();
    void EnterData(bool sendHandshake);
    void CommandPhaseByte(char c);
    void DataPhaseBytes(const QByteArray& bytes);
    void EscapeCheck();
    std::int64_t GuardMs() const { return std::int64_t(m_s[12]) * 20; }
    void StopTimers();

    int m_master = -1;
    int m_slaveKeep = -1; // keeps the pty alive while the host reopens it
    QString m_slavePath;
    QSocketNotifier* m_masterNotifier = nullptr;
    QSocketNotifier* m_masterWritable = nullptr;
    QByteArray m_toHost; // what the host has not taken yet
    QTcpServer* m_server = nullptr;
    QTcpSocket* m_call = nullptr;
    bool m_outgoing = false;
    bool m_callerAnnounced = false; // the caller's header has been read
    QByteArray m_callBuffer;

    Mode m_mode = Mode::Command;
    QByteArray m_line;
    bool m_echo = true;
    bool m_verbose = true;
    bool m_quiet = false;
    int m_s[100] = {};
    QByteArray m_commandLog;
    QMap<QString, std::uint16_t> m_directory;
    QString m_ownNumber;
    QString m_ownName;
    QString m_remoteNumber;
    QString m_remoteName;
    Fault m_fault = Fault::None;
    int m_ringIntervalMs = 2000;
    int m_callerId = 0; // 0 off, 1 formatted, 2 unformatted (the whole packet in hex)
    Quirks m_quirks;
    bool m_dtr = false;
    int m_dtrDrops = 0;
    bool m_connected = false; // a call is up
    int m_dtrMode = 2;        // &D
    int m_dcdMode = 1;        // &C
    // A late reply: what the modem says, and what the host sends meanwhile.
    bool m_holding = false;
    QByteArray m_held;
    QByteArray m_heldInput;
    std::uint64_t m_lateTimer = 0;
    int m_ringsSent = 0;
    int m_escapes = 0;

    // Escape detection in the data phase.
    std::int64_t m_lastDataMs = 0;
    int m_plusCount = 0;
    std::int64_t m_plusStartMs = 0;
    std::uint64_t m_ringTimer = 0;
    std::uint64_t m_guardTimer = 0;
    std::uint64_t m_answerTimer = 0;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace qv::test
