#include "telephony/service/providers/tcp/TelnetCodec.h"

namespace qv::tcp {

using namespace telnet;

TelnetCodec::TelnetCodec()
{
    Reset();
}

void TelnetCodec::Reset()
{
    m_state = Data;
    m_verb = 0;
    m_subLength = 0;
    m_us.fill(Off);
    m_them.fill(Off);
}

QByteArray TelnetCodec::Start()
{
    QByteArray out;
    m_us[OPT_BINARY] = AskedOn;
    m_them[OPT_BINARY] = AskedOn;
    Put(out, WILL, OPT_BINARY);
    Put(out, DO, OPT_BINARY);
    return out;
}

void TelnetCodec::Put(QByteArray& out, std::uint8_t verb, std::uint8_t option)
{
    out.append(char(IAC));
    out.append(char(verb));
    out.append(char(option));
}

QByteArray TelnetCodec::Escape(QByteArrayView data)
{
    QByteArray out;
    out.reserve(data.size() + data.size() / 64 + 4);
    for (char c : data) {
        out.append(c);
        if (std::uint8_t(c) == IAC)
            out.append(c);
    }
    return out;
}

void TelnetCodec::Feed(QByteArrayView received, QByteArray& data, QByteArray& replies)
{
    for (char ch : received) {
        const std::uint8_t b = std::uint8_t(ch);
        switch (m_state) {
        case Data:
            if (b == IAC)
                m_state = Iac;
            else
                data.append(ch);
            break;
        case Iac:
            if (b == IAC) {
                data.append(ch);
                m_state = Data;
            } else if (b == WILL || b == WONT || b == DO || b == DONT) {
                m_verb = b;
                m_state = Verb;
            } else if (b == SB) {
                m_subLength = 0;
                m_state = Sub;
            } else {
                // NOP, GA, AYT, BRK and the like carry no call data.
                m_state = Data;
            }
            break;
        case Verb:
            Negotiate(m_verb, b, replies);
            m_state = Data;
            break;
        case Sub:
            if (b == IAC)
                m_state = SubIac;
            else if (m_subLength < MaxSubnegotiation)
                ++m_subLength;
            break;
        case SubIac:
            // IAC SE ends it; IAC IAC is a data byte inside it; anything else
            // is a broken peer, and the bytes are still not call data.
            m_state = b == SE ? Data : Sub;
            break;
        }
    }
}

void TelnetCodec::Negotiate(std::uint8_t verb, std::uint8_t option, QByteArray& replies)
{
    const bool wanted = option == OPT_BINARY;
    switch (verb) {
    case WILL: // the peer offers to perform the option
        if (wanted) {
            if (m_them[option] == Off)
                Put(replies, DO, option);
            m_them[option] = On;
        } else {
            Put(replies, DONT, option);
        }
        break;
    case WONT:
        if (m_them[option] != Off) {
            if (m_them[option] == On)
                Put(replies, DONT, option);
            m_them[option] = Off;
        }
        break;
    case DO: // the peer asks us to perform the option
        if (wanted) {
            if (m_us[option] == Off)
                Put(replies, WILL, option);
            m_us[option] = On;
        } else {
            Put(replies, WONT, option);
        }
        break;
    case DONT:
        if (m_us[option] != Off) {
            if (m_us[option] == On)
                Put(replies, WONT, option);
            m_us[option] = Off;
        }
        break;
    default:
        break;
    }
}

} // namespace qv::tcp
