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
    delete m_masterNotifier;
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
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // The host is not reading; a test modem may wait for it briefly.
            ::usleep(1000);
            continue;
        }
        return;
    }
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
    if (m_echo)
        ToHost(QByteArray(1, c));
    if (c == '\r') {
        const QByteArray line = m_line;
        m_line.clear();
        ExecuteLine(line);
    } else if (c == '\b' || c == 0x7f) {
        m_line.chop(1);
    } else if (c != '\n' && m_line.size() < 255) {
        m_line.append(c);
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
        case '&': // &F, &C1, &D2, ... accepted
            if (i < cmds.size())
                ++i;
            number(i, 0);
            break;
        case '+': // extended commands are accepted and ignored up to ';'
            while (i < cmds.size() && cmds[i] != ';')
                ++i;
            break;
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
    Result(2, "RING");
    if (m_ringsSent == 1 && m_callerId && m_verbose && !m_remoteNumber.isNull()) {
        const QByteArray crlf = "\r\n";
        ToHost(crlf + "DATE = " + Clock::Instance().Now().toString("MMdd").toLatin1() + crlf);
        ToHost("TIME = " + Clock::Instance().Now().toString("hhmm").toLatin1() + crlf);
        ToHost("NMBR = " + (m_remoteNumber.isEmpty() ? QByteArray("O") : m_remoteNumber.toUtf8()) + crlf);
        if (!m_remoteName.isEmpty())
            ToHost("NAME = " + m_remoteName.toUtf8() + crlf);
    }
    if (m_s[0] > 0 && m_ringsSent >= m_s[0])
        Answer();
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
    if (m_mode != Mode::Data || m_plusCount != 3)
        return;
    if (Clock::Instance().MonotonicMs() - m_lastDataMs < GuardMs())
        return;
    // The call stays up; the host now talks to the modem.
    m_plusCount = 0;
    m_mode = Mode::Command;
    Result(0, "OK");
    emit stateChanged();
}

} // namespace qv::test
