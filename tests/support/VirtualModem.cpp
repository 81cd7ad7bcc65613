#include "tests/support/VirtualModem.h"

#include "common/Clock.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace qv::test {

namespace {

// The first byte the called modem sends once it has answered; everything
// after it is the call's data. The caller opens with one header line.
constexpr char AnswerByte = 0x06;
constexpr char BusyByte = 0x15;
constexpr int HeaderLimit = 256;

bool Expired(const std::weak_ptr<bool>& alive)
{
    return alive.expired() || !*alive.lock();
}

} // namespace

VirtualModem::VirtualModem(QObject* parent) : QObject(parent)
{
    m_s[0] = 0;   // rings before auto-answer: off
    m_s[2] = '+'; // escape character
    m_s[3] = '\r';
    m_s[4] = '\n';
    m_s[7] = 50;  // seconds to wait for carrier
    m_s[12] = 50; // escape guard time, 1/50 s
}

VirtualModem::~VirtualModem()
{
    *m_alive = false;
    StopTimers();
    if (m_lateTimer)
        Clock::Instance().StopTimer(m_lateTimer);
    delete m_masterNotifier;
    delete m_masterWritable;
    if (m_call) {
        m_call->disconnect(this);
        m_call->abort();
        delete m_call;
    }
    if (m_master >= 0)
        ::close(m_master);
    if (m_slaveKeep >= 0)
        ::close(m_slaveKeep);
}

bool VirtualModem::Start(QString* error, std::uint16_t port)
{
    int master = -1, slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        if (error)
            *error = QString("openpty: %1").arg(std::strerror(errno));
        return false;
    }
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    m_master = master;
    m_slaveKeep = slave;
    m_slavePath = QString::fromLocal8Bit(name);
    m_masterNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_masterNotifier, &QSocketNotifier::activated, this, [this] { OnMasterReadable(); });
    m_masterWritable = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_masterWritable->setEnabled(false);
    connect(m_masterWritable, &QSocketNotifier::activated, this, [this] { FlushToHost(); });

    m_server = new QTcpServer(this);
    if (!m_server->listen(QHostAddress::LocalHost, port)) {
        if (error)
            *error = m_server->errorString();
        return false;
    }
    connect(m_server, &QTcpServer::newConnection, this, [this] { OnIncomingConnection(); });
    return true;
}

std::uint16_t VirtualModem::Port() const
{
    return m_server ? m_server->serverPort() : 0;
}

void VirtualModem::SetOwnNumber(const QString& number, const QString& name)
{
    m_ownNumber = number;
    m_ownName = name;
}

void VirtualModem::StopTimers()
{
    for (std::uint64_t* t : {&m_ringTimer, &m_guardTimer, &m_answerTimer}) {
        if (*t) {
            Clock::Instance().StopTimer(*t);
            *t = 0;
        }
    }
}

void VirtualModem::ToHost(const QByteArray& bytes)
{
    if (m_fault == Fault::Silent || m_master < 0)
        return;
    if (m_holding) {
        m_held += bytes;
        return;
    }
    // A host that does not read for a long time loses what is beyond this,
    // as a modem's own buffer would overflow.
    constexpr qsizetype Limit = 1 << 20;
    m_toHost += bytes.left(Limit - m_toHost.size());
    FlushToHost();
}

void VirtualModem::FlushToHost()
{
    while (!m_toHost.isEmpty() && m_master >= 0) {
        const ssize_t n = ::write(m_master, m_toHost.constData(), size_t(m_toHost.size()));
        if (n > 0) {
            m_toHost.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            m_toHost.clear(); // the host end is gone
        break;
    }
    // The rest goes when the host has read enough to make room.
    if (m_masterWritable)
        m_masterWritable->setEnabled(!m_toHost.isEmpty());
}

void VirtualModem::ResultText(const QByteArray& text)
{
    if (m_quiet)
        return;
    const QByteArray crlf = QByteArray(1, char(m_s[3])) + char(m_s[4]);
    ToHost(m_verbose ? crlf + text + crlf : text + char(m_s[3]));
}

void VirtualModem::Result(int numeric, const char* verbose)
{
    ResultText(m_verbose ? QByteArray(verbose) : QByteArray::number(numeric));
}

// ------------------------------------------------------------- host side

void VirtualModem::OnMasterReadable()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            return;
        const QByteArray bytes(buffer, n);
        if (m_lateTimer) {
            m_heldInput += bytes; // busy with a command that answers late
            continue;
        }
        if (m_mode == Mode::Data) {
            DataPhaseBytes(bytes);
        } else {
            std::weak_ptr<bool> alive = m_alive;
            for (char c : bytes) {
                CommandPhaseByte(c);
                if (Expired(alive) || m_mode == Mode::Data)
                    break;
            }
        }
    }
}

void VirtualModem::CommandPhaseByte(char c)
{
    if (m_fault == Fault::Silent) {
        if (c == '\r') {
            m_commandLog += m_line + '\r';
            m_line.clear();
        } else {
            m_line.append(c);
        }
        return;
    }
    if (m_mode == Mode::Dialling) {
        // Any character aborts a dial in progress.
        HangUp();
        Result(3, "NO CARRIER");
        return;
    }
    if (m_echo || m_quirks.echoStuck)
        ToHost(QByteArray(1, c));
    if (c == '\r') {
        const QByteArray line = m_line;
        m_line.clear();
        if (m_quirks.lateReplies > 0 && !line.trimmed().isEmpty()) {
            // Busy with this command: its result, and whatever the host
            // sends meanwhile, wait.
            --m_quirks.lateReplies;
            m_holding = true;
            ExecuteLine(line);
            m_holding = false;
            std::weak_ptr<bool> alive = m_alive;
            m_lateTimer = Clock::Instance().StartTimer(m_quirks.lateReplyMs, [this, alive] {
                if (!Expired(alive))
                    ReleaseLateReply();
            });
            return;
        }
        ExecuteLine(line);
    } else if (c == '\b' || c == 0x7f) {
        m_line.chop(1);
    } else if (c != '\n' && m_line.size() < 255) {
        m_line.append(c);
    }
}

void VirtualModem::ReleaseLateReply()
{
    Clock::Instance().StopTimer(m_lateTimer);
    m_lateTimer = 0;
    const QByteArray said = m_held;
    m_held.clear();
    ToHost(said);
    const QByteArray input = m_heldInput;
    m_heldInput.clear();
    std::weak_ptr<bool> alive = m_alive;
    for (char c : input) {
        if (m_mode == Mode::Data) {
            DataPhaseBytes(QByteArray(1, c));
            continue;
        }
        CommandPhaseByte(c);
        if (Expired(alive) || m_lateTimer)
            break;
    }
}

void VirtualModem::ExecuteLine(const QByteArray& raw)
{
    const QByteArray line = raw.trimmed();
    if (line.isEmpty())
        return;
    m_commandLog += line + '\r';
    emit commandReceived(line);
    if (line.size() < 2 || std::toupper(static_cast<unsigned char>(line[0])) != 'A' ||
        std::toupper(static_cast<unsigned char>(line[1])) != 'T') {
        Result(4, "ERROR");
        return;
    }
    std::weak_ptr<bool> alive = m_alive;
    const LineResult result = ExecuteCommands(line.mid(2));
    if (Expired(alive))
        return;
    if (result == LineResult::Ok)
        Result(0, "OK");
    else if (result == LineResult::Error)
        Result(4, "ERROR");
}

// D, A and O end the line and answer for themselves (CONNECT, BUSY, ...).
VirtualModem::LineResult VirtualModem::ExecuteCommands(QByteArray cmds)
{
    auto number = [&](int& i, int fallback) {
        int value = 0;
        bool any = false;
        while (i < cmds.size() && std::isdigit(static_cast<unsigned char>(cmds[i]))) {
            value = value * 10 + (cmds[i] - '0');
            if (value > 255)
                value = 255;
            any = true;
            ++i;
        }
        return any ? value : fallback;
    };
    int i = 0;
    while (i < cmds.size()) {
        const char c = char(std::toupper(static_cast<unsigned char>(cmds[i++])));
        switch (c) {
        case ' ':
            break;
        case 'Z':
            number(i, 0);
            m_echo = true;
            m_verbose = true;
            m_quiet = false;
            m_s[0] = 0;
            m_s[12] = 50;
            m_dtrMode = 2;
            m_dcdMode = 1;
            m_callerId = 0;
            break;
        case 'E':
            m_echo = number(i, 0) != 0;
            break;
        case 'V':
            m_verbose = number(i, 0) != 0;
            break;
        case 'Q':
            m_quiet = number(i, 0) != 0;
            break;
        case 'L':
        case 'M':
        case 'X':
        case 'B':
        case 'I':
            number(i, 0);
            break;
        case '&': { // &C and &D act, &F, &K, ... are accepted
            const char what = i < cmds.size() ? char(std::toupper(static_cast<unsigned char>(cmds[i]))) : 0;
            if (i < cmds.size())
                ++i;
            const int value = number(i, 0);
            if (what == 'C')
                m_dcdMode = value;
            else if (what == 'D')
                m_dtrMode = value;
            break;
        }
        case '+':
        case '#':
        case '%': {
            // Extended commands run up to ';'. Of the caller-ID ones, only
            // the modem's own dialect is known.
            const qsizetype end = cmds.indexOf(';', i);
            const QByteArray extended =
                (QByteArray(1, c) + cmds.mid(i, end < 0 ? -1 : end - i)).toUpper().trimmed();
            i = end < 0 ? cmds.size() : end + 1;
            static const struct
            {
                const char* name;
                CallerIdDialect dialect;
            } dialects[] = {{"+VCID=", CallerIdDialect::Vcid},
                            {"#CID=", CallerIdDialect::Cid},
                            {"%CCID=", CallerIdDialect::Ccid},
                            {"+CLIP=", CallerIdDialect::Clip}};
            bool callerIdCommand = false;
            for (const auto& d : dialects) {
                if (!extended.startsWith(d.name))
                    continue;
                callerIdCommand = true;
                if (d.dialect != m_quirks.callerIdDialect)
                    return LineResult::Error;
                const int value = extended.mid(qsizetype(std::strlen(d.name))).toInt();
                if (value < 0 || value > 2)
                    return LineResult::Error;
                m_callerId = value;
            }
            if (!callerIdCommand && c != '+')
                return LineResult::Error;
            break;
        }
        case 'S': {
            const int reg = number(i, -1);
            if (reg < 0 || reg >= 100)
                return LineResult::Error;
            if (i < cmds.size() && cmds[i] == '=') {
                ++i;
                m_s[reg] = number(i, 0);
            } else if (i < cmds.size() && cmds[i] == '?') {
                ++i;
                ResultText(QByteArray::number(m_s[reg]).rightJustified(3, '0'));
            } else {
                return LineResult::Error;
            }
            break;
        }
        case 'H':
            number(i, 0);
            HangUp();
            break;
        case 'A':
            if (m_mode != Mode::Ringing || !m_call) {
                Result(3, "NO CARRIER");
                return LineResult::Reported;
            }
            Answer();
            return LineResult::Reported;
        case 'D':
            Dial(cmds.mid(i));
            return LineResult::Reported;
        case 'O':
            if (!m_call) {
                Result(3, "NO CARRIER");
                return LineResult::Reported;
            }
            EnterData(false);
            return LineResult::Reported;
        default:
            return LineResult::Error;
        }
    }
    return LineResult::Ok;
}

// ------------------------------------------------------------------ calls

void VirtualModem::Dial(const QByteArray& dial)
{
    if (m_call) {
        Result(4, "ERROR");
        return;
    }
    if (m_fault == Fault::NoDialtone) {
        Result(6, "NO DIALTONE");
        return;
    }
    if (m_fault == Fault::Busy) {
        Result(7, "BUSY");
        return;
    }
    QString digits;
    for (char ch : dial) {
        if (std::isdigit(static_cast<unsigned char>(ch)) || ch == '*' || ch == '#')
            digits.append(QChar(ch));
    }
    const bool voice = dial.endsWith(';');
    (void)voice;
    auto entry = m_directory.constFind(digits);
    if (m_fault == Fault::NoAnswer || entry == m_directory.constEnd()) {
        // Nobody picks up: the modem gives up after S7 seconds.
        m_mode = Mode::Dialling;
        std::weak_ptr<bool> alive = m_alive;
        m_answerTimer = Clock::Instance().StartTimer(m_s[7] * 1000, [this, alive] {
            if (Expired(alive))
                return;
            Clock::Instance().StopTimer(m_answerTimer);
            m_answerTimer = 0;
            m_mode = Mode::Command;
            Result(8, "NO ANSWER");
        });
        return;
    }
    m_mode = Mode::Dialling;
    m_outgoing = true;
    m_callerAnnounced = true;
    m_call = new QTcpSocket(this);
    m_call->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(m_call, &QTcpSocket::connected, this,
            [this] { m_call->write(QString("CALL %1|%2\n").arg(m_ownNumber, m_ownName).toUtf8()); });
    connect(m_call, &QTcpSocket::readyRead, this, [this] { OnCallReadable(); });
    connect(m_call, &QTcpSocket::disconnected, this, [this] { OnCallClosed(); });
    connect(m_call, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (e != QAbstractSocket::RemoteHostClosedError)
            OnCallClosed();
    });
    m_call->connectToHost(QHostAddress::LocalHost, *entry);
    std::weak_ptr<bool> alive = m_alive;
    m_answerTimer = Clock::Instance().StartTimer(m_s[7] * 1000, [this, alive] {
        if (Expired(alive) || m_mode != Mode::Dialling)
            return;
        HangUp();
        Result(8, "NO ANSWER");
    });
    emit stateChanged();
}

void VirtualModem::OnIncomingConnection()
{
    while (QTcpSocket* s = m_server->nextPendingConnection()) {
        if (m_call || m_fault == Fault::Busy) {
            s->write(QByteArray(1, BusyByte));
            s->disconnectFromHost();
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            continue;
        }
        m_call = s;
        m_call->setParent(this);
        m_call->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_outgoing = false;
        m_callerAnnounced = false;
        m_callBuffer.clear();
        m_ringsSent = 0;
        m_mode = Mode::Ringing;
        connect(m_call, &QTcpSocket::readyRead, this, [this] { OnCallReadable(); });
        connect(m_call, &QTcpSocket::disconnected, this, [this] { OnCallClosed(); });
        // Ringing starts once the caller has said who it is (OnCallReadable).
        emit stateChanged();
    }
}

void VirtualModem::StartRinging()
{
    std::weak_ptr<bool> alive = m_alive;
    m_ringTimer = Clock::Instance().StartTimer(m_ringIntervalMs, [this, alive] {
        if (!Expired(alive))
            Ring();
    });
    // The first ring goes out at once, as the line rings.
    Ring();
}

void VirtualModem::Ring()
{
    if (m_mode != Mode::Ringing)
        return;
    ++m_ringsSent;
    if (m_verbose)
        ResultText(m_quirks.ring);
    else
        Result(2, "RING");
    if (m_ringsSent == 1 && m_callerId != 0 && m_verbose && !m_remoteNumber.isNull())
        SendCallerId();
    if (m_s[0] > 0 && m_ringsSent >= m_s[0])
        Answer();
}

void VirtualModem::SendCallerId()
{
    const QByteArray crlf = "\r\n";
    const QByteArray date = Clock::Instance().Now().toString("MMdd").toLatin1();
    const QByteArray time = Clock::Instance().Now().toString("hhmm").toLatin1();
    const QByteArray number = m_remoteNumber.isEmpty() ? QByteArray("O") : m_remoteNumber.toUtf8();
    const QByteArray name = m_remoteName.toUtf8();
    if (m_quirks.callerIdDialect == CallerIdDialect::Clip) {
        QByteArray clip = "+CLIP: \"" + (m_remoteNumber.isEmpty() ? QByteArray() : number) + "\",129,,,\"" +
                          name + "\"," + (m_remoteNumber.isEmpty() ? "2" : "0");
        ToHost(crlf + clip + crlf);
        return;
    }
    if (m_callerId == 2) {
        // The whole multiple-message packet in hex: date and time, number,
        // name, each a type, a length and the data, then a checksum.
        QByteArray body;
        auto item = [&body](char type, const QByteArray& data) {
            body.append(type).append(char(data.size())).append(data);
        };
        item(0x01, date + time);
        item(m_remoteNumber.isEmpty() ? 0x04 : 0x02, number);
        if (!name.isEmpty())
            item(0x07, name);
        QByteArray packet = QByteArray(1, char(0x80)) + char(body.size()) + body;
        char sum = 0;
        for (char b : packet)
            sum = char(sum + b);
        packet.append(char(-sum));
        ToHost(crlf + packet.toHex().toUpper() + crlf);
        return;
    }
    const char* separator = m_quirks.callerIdStyle == CallerIdStyle::Colon ? ": " : " = ";
    auto pair = [&](const char* tag, const QByteArray& value) {
        ToHost(tag + QByteArray(separator) + value + crlf);
    };
    ToHost(crlf);
    pair("DATE", date);
    pair("TIME", time);
    if (m_quirks.callerIdStyle == CallerIdStyle::DialableMesg) {
        pair("DDN_NMBR", number);
        // A name this modem does not know how to show: the data item in hex.
        if (!name.isEmpty())
            pair("MESG", (QByteArray(1, 0x07) + char(name.size()) + name).toHex().toUpper());
        return;
    }
    pair("NMBR", number);
    if (!name.isEmpty())
        pair("NAME", name);
}

void VirtualModem::Answer()
{
    if (!m_call || m_mode != Mode::Ringing)
        return;
    if (m_ringTimer) {
        Clock::Instance().StopTimer(m_ringTimer);
        m_ringTimer = 0;
    }
    m_call->write(QByteArray(1, AnswerByte));
    EnterData(true);
}

void VirtualModem::EnterData(bool announce)
{
    m_connected = true;
    if (m_answerTimer) {
        Clock::Instance().StopTimer(m_answerTimer);
        m_answerTimer = 0;
    }
    m_mode = Mode::Data;
    m_plusCount = 0;
    m_lastDataMs = Clock::Instance().MonotonicMs();
    if (announce)
        ResultText(m_verbose ? QByteArray("CONNECT 33600") : QByteArray("1"));
    else
        Result(0, "OK"); // back online after ATO: the modem says CONNECT on real ones; OK keeps it simple
    emit stateChanged();
    // Data the remote sent before we switched is passed on now.
    if (!m_callBuffer.isEmpty()) {
        const QByteArray pending = m_callBuffer;
        m_callBuffer.clear();
        ToHost(pending);
    }
}

void VirtualModem::OnCallReadable()
{
    if (!m_call)
        return;
    m_callBuffer += m_call->readAll();
    if (!m_outgoing && !m_callerAnnounced) {
        const qsizetype nl = m_callBuffer.indexOf('\n');
        if (nl < 0) {
            if (m_callBuffer.size() > HeaderLimit)
                HangUp();
            return;
        }
        const QList<QByteArray> parts = m_callBuffer.left(nl).mid(5).split('|');
        m_remoteNumber = QString::fromUtf8(parts.value(0));
        m_remoteName = QString::fromUtf8(parts.value(1));
        m_callBuffer.remove(0, nl + 1);
        m_callerAnnounced = true;
        std::weak_ptr<bool> alive = m_alive;
        StartRinging();
        if (Expired(alive) || !m_call)
            return;
    }
    if (m_outgoing && m_mode == Mode::Dialling && !m_callBuffer.isEmpty()) {
        const char first = m_callBuffer[0];
        m_callBuffer.remove(0, 1);
        if (first == BusyByte) {
            HangUp();
            Result(7, "BUSY");
            return;
        }
        EnterData(true);
        return;
    }
    if (m_mode == Mode::Data && !m_callBuffer.isEmpty()) {
        const QByteArray bytes = m_callBuffer;
        m_callBuffer.clear();
        ToHost(bytes);
    }
}

void VirtualModem::OnCallClosed()
{
    if (!m_call)
        return;
    // Whatever the remote sent before it left still reaches the host.
    m_callBuffer += m_call->readAll();
    if (m_mode == Mode::Data && !m_callBuffer.isEmpty()) {
        ToHost(m_callBuffer);
        m_callBuffer.clear();
    }
    const Mode mode = m_mode;
    HangUp();
    if (mode == Mode::Data || mode == Mode::Dialling)
        Result(3, "NO CARRIER");
}

void VirtualModem::SetRegister(int n, int value)
{
    if (n >= 0 && n < 100)
        m_s[n] = value;
}

bool VirtualModem::Dcd() const
{
    if (m_quirks.noDcd)
        return false;
    return m_dcdMode == 0 || m_connected;
}

void VirtualModem::SetDtr(bool high)
{
    const bool dropped = m_dtr && !high;
    m_dtr = high;
    if (dropped)
        ++m_dtrDrops;
    if (!dropped || m_quirks.dtrIgnored || m_dtrMode == 0 || m_fault == Fault::Silent)
        return;
    if (m_dtrMode == 1) {
        // Back to the command phase; the call stays up.
        if (m_mode == Mode::Data) {
            m_mode = Mode::Command;
            m_plusCount = 0;
            Result(0, "OK");
            emit stateChanged();
        }
        return;
    }
    const bool inCall = m_connected || m_mode == Mode::Dialling;
    HangUp();
    if (inCall)
        Result(3, "NO CARRIER");
}

void VirtualModem::Unplug()
{
    HangUp();
    delete m_masterNotifier;
    m_masterNotifier = nullptr;
    delete m_masterWritable;
    m_masterWritable = nullptr;
    m_toHost.clear();
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
    if (m_slaveKeep >= 0)
        ::close(m_slaveKeep);
    m_slaveKeep = -1;
}

void VirtualModem::DropRemote()
{
    if (m_call)
        OnCallClosed();
}

void VirtualModem::HangUp()
{
    StopTimers();
    if (m_call) {
        QTcpSocket* call = m_call;
        m_call = nullptr;
        call->disconnect(this);
        call->disconnectFromHost();
        call->deleteLater();
    }
    m_callBuffer.clear();
    m_mode = Mode::Command;
    m_connected = false;
    m_ringsSent = 0;
    m_remoteNumber.clear();
    m_remoteName.clear();
    emit stateChanged();
}

// ------------------------------------------------------------- data phase

void VirtualModem::DataPhaseBytes(const QByteArray& bytes)
{
    const std::int64_t now = Clock::Instance().MonotonicMs();
    const char escape = char(m_s[2]);
    for (char c : bytes) {
        // "+++" counts only when the line was quiet for the guard time before
        // the first "+", and the three come together.
        if (c == escape && m_plusCount < 3 &&
            ((m_plusCount == 0 && now - m_lastDataMs >= GuardMs()) ||
             (m_plusCount > 0 && now - m_plusStartMs < GuardMs()))) {
            if (m_plusCount == 0)
                m_plusStartMs = now;
            ++m_plusCount;
        } else {
            m_plusCount = 0;
        }
        m_lastDataMs = now;
    }
    if (m_call)
        m_call->write(bytes);
    if (m_plusCount == 3) {
        std::weak_ptr<bool> alive = m_alive;
        if (m_guardTimer)
            Clock::Instance().StopTimer(m_guardTimer);
        m_guardTimer = Clock::Instance().StartTimer(int(GuardMs()), [this, alive] {
            if (!Expired(alive))
                EscapeCheck();
        });
    }
}

void VirtualModem::EscapeCheck()
{
    Clock::Instance().StopTimer(m_guardTimer);
    m_guardTimer = 0;
    if (m_mode != Mode::Data || m_plusCount != 3 || m_quirks.escapeIgnored)
        return;
    if (Clock::Instance().MonotonicMs() - m_lastDataMs < GuardMs())
        return;
    // The call stays up; the host now talks to the modem.
    m_plusCount = 0;
    ++m_escapes;
    m_mode = Mode::Command;
    Result(0, "OK");
    emit stateChanged();
}

} // namespace qv::test
