// A Hayes modem emulator for tests: the program under test opens the slave end
// of a pty pair (DevicePath()) as it would a modem's tty; the emulator answers
// AT commands on the master end and carries calls over loopback TCP to another
// VirtualModem, so two modem lines can call each other inside one test.
//
// It does what a real modem does where the tests look: echo (E), verbose or
// numeric results (V), quiet (Q), auto-answer (S0), RING every few seconds
// with caller-ID lines after the first, CONNECT with a rate, "+++" honoured
// only with its guard times (S12, in fiftieths of a second) before ATH, and
// "NO CARRIER" when the remote leaves. Faults on demand: busy, no dial tone,
// no answer, and a modem that never says anything.
//
// A pty has no modem-control lines, so DTR and DCD do not exist here: the end
// of a call reaches the host only as "NO CARRIER" in its data stream.
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
    // Whether caller-ID lines follow the first RING (a modem with AT+VCID=1).
    void SetCallerIdEnabled(bool on) { m_callerId = on; }

    // What the tests read back.
    bool InDataMode() const { return m_mode == Mode::Data; }
    bool OffHook() const { return m_call != nullptr; }
    int RingsSent() const { return m_ringsSent; }
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
    bool m_callerId = true;
    int m_ringsSent = 0;

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
