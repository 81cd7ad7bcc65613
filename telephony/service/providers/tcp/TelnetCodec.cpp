#include "telephony/service/providers/tcp/TelnetCodec.h"

#include <algorithm>
#include <cstring>

namespace qv::tcp {

using namespace telnet;

namespace {

bool UsableType(const QByteArray& type)
{
    if (type.isEmpty() || type.size() > TelnetCodec::MaxTerminalType)
        return false;
    return std::all_of(type.begin(), type.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

} // namespace

TelnetCodec::TelnetCodec(Role role) : m_role(role)
{
    Reset();
}

void TelnetCodec::Reset()
{
    m_state = Data;
    m_verb = 0;
    m_subLength = 0;
    m_subOverflow = false;
    m_us.fill(No);
    m_them.fill(No);
    m_afterCr = false;
    m_heldCr = false;
    m_answered = false;
    m_farAnswered = false;
    m_opening = Opening::Nothing;
    m_nextType = 0;
}

void TelnetCodec::Put(QByteArray& out, std::uint8_t verb, std::uint8_t option)
{
    const char bytes[3] = {char(IAC), char(verb), char(option)};
    out.append(bytes, 3);
}

void TelnetCodec::PutSubData(QByteArray& out, std::uint8_t byte)
{
    out.append(char(byte));
    if (byte == IAC)
        out.append(char(IAC));
}

void TelnetCodec::Ask(std::uint8_t verb, std::uint8_t option, QByteArray& out)
{
    Q& state = verb == WILL ? m_us[option] : m_them[option];
    if (state != No)
        return;
    state = WantYes;
    Put(out, verb, option);
}

QByteArray TelnetCodec::Start()
{
    QByteArray out;
    Ask(WILL, OPT_BINARY, out);
    Ask(DO, OPT_BINARY, out);
    Ask(WILL, OPT_SGA, out);
    Ask(DO, OPT_SGA, out);
    return out;
}

QByteArray TelnetCodec::Announce()
{
    QByteArray out;
    if (m_role == Role::Answering)
        Ask(WILL, OPT_VH, out);
    return out;
}

void TelnetCodec::Answer(QByteArray& replies)
{
    if (m_role != Role::Answering || m_answered)
        return;
    m_answered = true;
    if (WeDo(OPT_VH))
        WeNowDo(OPT_VH, replies);
}

bool TelnetCodec::PeerIsVh() const
{
    return m_role == Role::Calling ? PeerDoes(OPT_VH) : WeDo(OPT_VH);
}

bool TelnetCodec::WeAccept(std::uint8_t option) const
{
    switch (option) {
    case OPT_BINARY:
    case OPT_SGA:
    case OPT_TTYPE:
    case OPT_NAWS:
        return true;
    case OPT_VH:
        return m_role == Role::Answering;
    default:
        return false;
    }
}

bool TelnetCodec::PeerMayDo(std::uint8_t option) const
{
    switch (option) {
    case OPT_BINARY:
    case OPT_SGA:
    case OPT_ECHO:
        return true;
    case OPT_VH:
        return m_role == Role::Calling;
    default:
        return false;
    }
}

void TelnetCodec::SawWord(Opening kind)
{
    if (m_opening == Opening::Nothing)
        m_opening = kind;
}

void TelnetCodec::Feed(QByteArrayView received, QByteArray& data, QByteArray& replies)
{
    const char* p = received.data();
    const char* const end = p + received.size();
    while (p < end) {
        if (m_state == Data) {
            // Plain bytes are passed on a run at a time; only IAC, and under
            // the NVT rules the NUL after a CR, interrupt a run.
            const bool nvt = !BinaryFromPeer();
            const char* run = p;
            while (p < end && std::uint8_t(*p) != IAC) {
                if (nvt) {
                    if (m_afterCr && *p == '\0') {
                        data.append(run, p - run);
                        SawWord(Opening::Other);
                        run = ++p;
                        m_afterCr = false;
                        continue;
                    }
                    m_afterCr = *p == '\r';
                }
                ++p;
            }
            if (p > run) {
                data.append(run, p - run);
                SawWord(Opening::Other);
            }
            if (p < end) {
                ++p;
                m_state = Iac;
            }
            continue;
        }
        const std::uint8_t b = std::uint8_t(*p++);
        switch (m_state) {
        case Data:
            break;
        case Iac:
            if (b == IAC) {
                data.append(char(b));
                m_afterCr = false;
                SawWord(Opening::Other);
                m_state = Data;
            } else if (b == WILL || b == WONT || b == DO || b == DONT) {
                m_verb = b;
                m_state = Verb;
            } else if (b == SB) {
                m_subLength = 0;
                m_subOverflow = false;
                m_state = Sub;
            } else {
                // NOP, GA, AYT, BRK and the like carry no call data.
                SawWord(Opening::Other);
                m_state = Data;
            }
            break;
        case Verb:
            Negotiate(m_verb, b, replies);
            SawWord(m_verb == WILL && b == OPT_VH ? Opening::VhOffer : Opening::Other);
            m_state = Data;
            break;
        case Sub:
            if (b == IAC) {
                m_state = SubIac;
            } else if (m_subLength < MaxSubnegotiation) {
                m_sub[size_t(m_subLength++)] = b;
            } else {
                m_subOverflow = true;
            }
            break;
        case SubIac:
            if (b == SE) {
                if (!m_subOverflow && m_subLength > 0)
                    Subnegotiation(replies);
                SawWord(Opening::Other);
                m_state = Data;
                break;
            }
            // IAC IAC is a data byte inside it; anything else is a broken
            // peer, and the bytes are still not call data.
            if (b == IAC) {
                if (m_subLength < MaxSubnegotiation)
                    m_sub[size_t(m_subLength++)] = b;
                else
                    m_subOverflow = true;
            }
            m_state = Sub;
            break;
        }
    }
}

void TelnetCodec::Negotiate(std::uint8_t verb, std::uint8_t option, QByteArray& replies)
{
    switch (verb) {
    case WILL: // the peer offers to perform the option
        switch (m_them[option]) {
        case No:
            if (PeerMayDo(option)) {
                m_them[option] = Yes;
                Put(replies, DO, option);
            } else {
                Put(replies, DONT, option);
            }
            break;
        case WantYes:
            m_them[option] = Yes;
            break;
        case WantNo:
            m_them[option] = No;
            break;
        case Yes:
            break;
        }
        if (option == OPT_BINARY)
            m_afterCr = false;
        break;
    case WONT:
        if (m_them[option] == Yes)
            Put(replies, DONT, option);
        m_them[option] = No;
        if (option == OPT_BINARY)
            m_afterCr = false;
        break;
    case DO: // the peer asks us to perform the option
        switch (m_us[option]) {
        case No:
            if (WeAccept(option)) {
                m_us[option] = Yes;
                Put(replies, WILL, option);
                WeNowDo(option, replies);
            } else {
                Put(replies, WONT, option);
            }
            break;
        case WantYes:
            m_us[option] = Yes;
            WeNowDo(option, replies);
            break;
        case WantNo:
            m_us[option] = No;
            break;
        case Yes:
            break;
        }
        break;
    case DONT:
        if (m_us[option] == Yes)
            Put(replies, WONT, option);
        m_us[option] = No;
        if (option == OPT_TTYPE)
            m_nextType = 0; // a new round of terminal types starts from the first
        break;
    default:
        break;
    }
}

void TelnetCodec::WeNowDo(std::uint8_t option, QByteArray& replies)
{
    if (option == OPT_NAWS) {
        SendNaws(replies);
    } else if (option == OPT_VH && m_answered) {
        const char answered[6] = {char(IAC), char(SB), char(OPT_VH), char(VH_ANSWERED), char(IAC), char(SE)};
        replies.append(answered, 6);
    }
}

void TelnetCodec::Subnegotiation(QByteArray& replies)
{
    const std::uint8_t option = m_sub[0];
    if (option == OPT_TTYPE && m_subLength >= 2 && m_sub[1] == TTYPE_SEND && WeDo(OPT_TTYPE)) {
        const int index = std::min(m_nextType, int(m_types.size()) - 1);
        m_nextType = std::min(m_nextType + 1, int(m_types.size()) - 1);
        const char head[4] = {char(IAC), char(SB), char(OPT_TTYPE), char(TTYPE_IS)};
        replies.append(head, 4);
        replies.append(m_types[index]);
        replies.append(char(IAC));
        replies.append(char(SE));
    } else if (option == OPT_VH && m_subLength >= 2 && m_sub[1] == VH_ANSWERED && m_role == Role::Calling &&
               PeerDoes(OPT_VH)) {
        m_farAnswered = true;
    }
}

void TelnetCodec::SendNaws(QByteArray& replies)
{
    const char head[3] = {char(IAC), char(SB), char(OPT_NAWS)};
    replies.append(head, 3);
    PutSubData(replies, std::uint8_t(m_columns >> 8));
    PutSubData(replies, std::uint8_t(m_columns));
    PutSubData(replies, std::uint8_t(m_rows >> 8));
    PutSubData(replies, std::uint8_t(m_rows));
    replies.append(char(IAC));
    replies.append(char(SE));
}

void TelnetCodec::SetTerminal(const QList<QByteArray>& types, int columns, int rows, QByteArray& replies)
{
    QList<QByteArray> usable;
    for (const QByteArray& type : types)
        if (UsableType(type) && usable.size() < MaxTerminalTypes)
            usable.append(type);
    if (!usable.isEmpty())
        m_types = usable;
    columns = std::clamp(columns, 1, 0xFFFF);
    rows = std::clamp(rows, 1, 0xFFFF);
    if (columns == m_columns && rows == m_rows)
        return;
    m_columns = columns;
    m_rows = rows;
    if (WeDo(OPT_NAWS))
        SendNaws(replies);
}

QByteArray TelnetCodec::Escape(QByteArrayView data)
{
    QByteArray out;
    out.reserve(data.size() + data.size() / 64 + 4);
    const char* p = data.data();
    const char* const end = p + data.size();
    while (p < end) {
        const void* iac = std::memchr(p, IAC, size_t(end - p));
        const char* stop = iac ? static_cast<const char*>(iac) + 1 : end;
        out.append(p, stop - p);
        if (iac)
            out.append(char(IAC));
        p = stop;
    }
    return out;
}

void TelnetCodec::EncodeForPeer(QByteArrayView data, QByteArray& wire)
{
    if (data.isEmpty())
        return;
    if (BinaryToPeer()) {
        // A CR held back under the NVT rules is a plain CR now.
        if (m_heldCr) {
            wire.append('\r');
            m_heldCr = false;
        }
        wire += Escape(data);
        return;
    }
    wire.reserve(wire.size() + data.size() + 8);
    for (char c : data) {
        if (m_heldCr) {
            m_heldCr = false;
            if (c == '\n') {
                wire.append("\r\n", 2);
                continue;
            }
            wire.append("\r\0", 2);
        }
        if (c == '\r') {
            m_heldCr = true;
        } else if (std::uint8_t(c) == IAC) {
            wire.append(char(IAC));
            wire.append(char(IAC));
        } else {
            wire.append(c);
        }
    }
}

void TelnetCodec::FlushForPeer(QByteArray& wire)
{
    if (!m_heldCr)
        return;
    m_heldCr = false;
    if (BinaryToPeer())
        wire.append('\r');
    else
        wire.append("\r\0", 2);
}

} // namespace qv::tcp
