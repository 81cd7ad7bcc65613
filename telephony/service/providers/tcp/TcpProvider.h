// The internet line: line devices whose calls are TCP connections.
//
// Outgoing: the dialled number is read by ResolveTcpNumber (phonebook, twelve
// digits, host:port); a number that reads as none of these, an empty one
// included, is refused at once with LINEERR_INVALADDRESS. No number at all
// (a null address) takes the line off hook to DIALTONE, for a later lineDial.
// A "W" that the caller's wait-for-dial-tone put before the number is
// dropped: a tcp line always has its dial tone. A host name is looked up
// first, without blocking, and a name that does not exist fails the request
// with LINEERR_INVALADDRESS too (LINEERR_OPERATIONFAILED when the lookup itself
// fails or outlasts the time limit). Then the request is replied to and the
// call reports DIALING and PROCEEDING while it connects, trying each address
// of the name in turn, each with an equal share of the time left. In telnet
// mode a far side that is another copy of this program tells us that it rings
// (RINGBACK) and, later, that its operator answered; every other host counts
// as answered once it has connected (and spoken, or been silent for
// BusyWindowMs). Then CONNECTED. It ends DISCONNECTED with
//   REJECT       nobody accepts calls at that address (connection refused),
//   UNREACHABLE  there is no route to the host,
//   BUSY         the peer accepted and closed again at once without a word
//                (how a busy line of ours turns a second caller away),
//   NOANSWER     the host did not accept, or the far copy did not answer,
//                within the line's time limit (or hung up while ringing).
//
// Incoming: while the line is open it listens on its address; a connection
// is an offered call (OFFERING, then LINE_CALLINFO with the peer's address as
// caller ID) that rings (LINEDEVSTATE_RINGING) at once and every RingIntervalMs
// until it is answered, the caller leaves, or the line's time limit passes
// (IDLE). A line carries one call: a connection that arrives while the line
// has a call is closed at once.
//
// A connected call ends DISCONNECTED (NORMAL) when the peer closes, but only
// once the phone has read what the peer sent before closing (or after
// DrainGraceMs if nobody reads it); TCP keep-alive finds a peer that vanished
// without a word. lineDrop, lineClose and lineShutdown close the connection
// for real, whatever copies of the data channel are still held.
//
// Data channel ("comm/datamodem" on a call): in raw mode the call's own TCP
// socket; in telnet mode one end of a local connection whose other end the
// line relays to the network through TelnetCodec, with back-pressure both
// ways. The descriptor stays the line's; the service hands out dup()s of it.
//
// What the line knows of the far side (remote echo, the newline it wants,
// another copy of this program) goes to the applications as LINE_DEVSPECIFIC
// with the codes of LineExtensions.h, whenever it changes during a connected
// call. lineDevSpecific with a terminal block gives the line the terminal
// types and size for telnet's TTYPE and NAWS, for this call and later ones.
//
// lineSetDevConfig keeps the new settings in the line's section of
// telephony.conf when the provider was given the file.
//
// Time limits, the ring cadence and the busy window run on qv::Clock, so tests
// can drive them in virtual time.
#pragma once

#include "telephony/service/Provider.h"
#include "telephony/service/config/LineSettingsFile.h"
#include "telephony/service/providers/tcp/TcpLineConfig.h"
#include "telephony/service/providers/tcp/TelnetCodec.h"

#include <QList>
#include <QMap>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class QHostAddress;

namespace qv::tcp {

class TelnetRelay;

class TcpProvider final : public tapi::Provider
{
public:
    static constexpr int RingIntervalMs = 3000;
    // A connection that the peer closes within this time, having sent nothing,
    // was turned away (busy). A host that is silent this long counts as
    // answered; in telnet mode one that speaks first counts as answered at
    // its first word, unless that word is another copy's ringing.
    static constexpr int BusyWindowMs = 500;
    static constexpr int DrainGraceMs = 3000;

    // Where the lines' settings are kept: telephony.conf, and the section
    // number of each line in it. Without a path nothing is written.
    using ConfigFile = tapi::LineSettingsFile;

    TcpProvider(std::vector<TcpLineConfig> lines, QMap<QString, QString> phonebook, ConfigFile file = {});
    ~TcpProvider() override;
    TcpProvider(const TcpProvider&) = delete;
    TcpProvider& operator=(const TcpProvider&) = delete;

    // The port a line listens on while open (0 when it does not listen), so
    // that tests can configure port 0 and learn the one the system chose.
    std::uint16_t ListeningPort(int line) const;
    const TcpLineConfig& LineConfig(int line) const;
    // The telnet state of a call in telnet mode, for diagnostics and tests;
    // null otherwise. Valid until the call next changes.
    const TelnetCodec* TelnetOf(tapi::CallId call) const;
    // Replaces the name service (tests): the addresses of a name, none for a
    // name that does not exist. The answer reaches the call on a later turn
    // of the event loop, as a real lookup's would.
    using HostLookup = std::function<QList<QHostAddress>(const QString& host)>;
    void SetHostLookup(HostLookup lookup) { m_hostLookup = std::move(lookup); }

    QString Name() const override { return QStringLiteral("tcp"); }
    void Attach(tapi::ProviderEvents* events) override;
    void Detach() override;

    int LineCount() const override;
    tapi::LineDeviceInfo LineInfo(int line) const override;
    tapi::LONG GetAddressInfo(int line, tapi::DWORD addressId, tapi::AddressInfo& info) const override;
    tapi::LONG OpenLine(int line) override;
    void CloseLine(int line) override;
    void SetStatusMessages(int line, tapi::DWORD lineStates, tapi::DWORD addressStates) override;
    tapi::LONG GetID(int line, tapi::DWORD addressId, tapi::CallId call, tapi::DWORD select,
                     const QString& deviceClass, tapi::DeviceIdData& out) override;
    tapi::LONG GetDevConfig(int line, const QString& deviceClass, QByteArray& config) override;
    tapi::LONG SetDevConfig(int line, const QString& deviceClass, const QByteArray& config) override;
    // A listening address that cannot be had, or settings that cannot be kept.
    QString LineFailure(int line) const override;

    tapi::LONG MakeCall(tapi::RequestId request, int line, tapi::CallId newCall, const QString& number,
                        tapi::DWORD countryCode, const tapi::CallParamsData& params) override;
    tapi::LONG Dial(tapi::RequestId request, tapi::CallId call, const QString& number,
                    tapi::DWORD countryCode) override;
    tapi::LONG Answer(tapi::RequestId request, tapi::CallId call, const QByteArray& userUserInfo) override;
    tapi::LONG Drop(tapi::RequestId request, tapi::CallId call, const QByteArray& userUserInfo) override;
    tapi::LONG SetCallParams(tapi::RequestId request, tapi::CallId call, tapi::DWORD bearerMode,
                             tapi::DWORD minRate, tapi::DWORD maxRate,
                             const tapi::LINEDIALPARAMS* dialParams) override;
    tapi::LONG GetCallInfo(tapi::CallId call, tapi::CallInfoData& info) override;
    tapi::LONG MonitorDigits(tapi::CallId call, tapi::DWORD digitModes) override;
    tapi::LONG MonitorMedia(tapi::CallId call, tapi::DWORD mediaModes) override;
    tapi::LONG DevSpecific(tapi::RequestId request, int line, tapi::DWORD addressId, tapi::CallId call,
                           const QByteArray& params) override;
    void ReleaseCall(tapi::CallId call) override;

private:
    struct Line;
    struct Call;

    Call* FindCall(tapi::CallId id) const;
    bool LineBusy(int line) const;
    void AcceptPending(int line);
    void OfferCall(int line, int fd, const QString& peerAddress);
    void Ring(Call& call);

    // Outgoing calls move through these steps; each starts one asynchronous
    // action and returns, and its completion calls Step() again.
    void Step(Call& call);
    void StartDialling(Call& call, tapi::DWORD noAnswerSeconds, tapi::RequestId request);
    void LimitReached(tapi::CallId id);
    void AttemptTimedOut(tapi::CallId id);
    void LookupFailed(Call& call, tapi::LONG error);
    void LookupDone(tapi::CallId id, const QList<QHostAddress>& addresses, bool notFound);
    void ConnectDone(tapi::CallId id);
    void SettleEvent(tapi::CallId id, bool hangup);
    void Fail(Call& call, tapi::DWORD disconnectMode);

    // Telnet calls: the relay's news, and the end of its network side.
    TelnetRelay* StartRelay(Call& call, TelnetCodec::Role role);
    void RelayChanged(tapi::CallId id);
    void RelayEnded(tapi::CallId id, bool failed);
    void ReportConnected(Call& call);
    void ReportTraits(Call& call);

    void PeerClosed(tapi::CallId id, bool failed);
    void CheckDrained(tapi::CallId id);
    void ReportIdle(Call& call);
    // Closes the call's sockets and stops its timers; reports nothing.
    void Teardown(Call& call);

    tapi::ProviderEvents* m_events = nullptr;
    QMap<QString, QString> m_phonebook;
    ConfigFile m_file;
    HostLookup m_hostLookup;
    std::vector<std::unique_ptr<Line>> m_lines;
    std::map<tapi::CallId, std::unique_ptr<Call>> m_calls;
};

} // namespace qv::tcp
