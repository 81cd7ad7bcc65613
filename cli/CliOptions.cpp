#include "cli/CliOptions.h"

#include "serial/CommDevice.h"

#include <optional>

namespace vh::cli {

namespace {

constexpr int kDefaultDialWaitSeconds = 90;
constexpr int kLongestWaitSeconds = 86400;

struct NamedPolicy
{
    const char* name;
    qv::TReceiveExistingFiles policy;
};

constexpr NamedPolicy kPolicies[] = {
    {"new-name", qv::efCreateWithNewName}, {"overwrite", qv::efOverwrite},
    {"newer", qv::efOverwriteIfNewer},     {"skip", qv::efSkip},
    {"resume", qv::efResumeTransfer},
};

// The speeds of the port's enumeration that a Linux tty has.
bool SpeedAllowed(int speed)
{
    static constexpr int kSpeeds[] = {110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (const int s : kSpeeds)
        if (s == speed)
            return qv::CommDevice::SpeedSupported(speed);
    return false;
}

std::optional<int> Number(const QString& text, int low, int high)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high)
        return std::nullopt;
    return value;
}

class Parser
{
public:
    explicit Parser(const QStringList& arguments) : m_arguments(arguments) {}

    Options Run()
    {
        while (m_next < m_arguments.size() && m_options.error.isEmpty())
            Take(m_arguments.at(m_next++));
        if (m_options.error.isEmpty() && !m_options.help && !m_options.version)
            Check();
        return m_options;
    }

private:
    // The value of an option: "--name=value" or the next argument.
    std::optional<QString> Value(const QString& name, const QString& inlineValue, bool hasInline)
    {
        if (hasInline) {
            if (inlineValue.isEmpty())
                Fail(QStringLiteral("option %1 needs a value").arg(name));
            return inlineValue.isEmpty() ? std::nullopt : std::optional<QString>(inlineValue);
        }
        if (m_next >= m_arguments.size() || m_arguments.at(m_next).isEmpty()) {
            Fail(QStringLiteral("option %1 needs a value").arg(name));
            return std::nullopt;
        }
        return m_arguments.at(m_next++);
    }

    void Take(const QString& argument)
    {
        if (m_allFiles) {
            Word(argument);
            return;
        }
        if (argument == QLatin1String("--")) {
            m_allFiles = true;
            m_takingFiles = true;
            return;
        }
        if (!argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-")) {
            Word(argument);
            return;
        }
        m_takingFiles = false;
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        const bool hasInline = argument.startsWith(QLatin1String("--")) && equals > 0;
        const QString name = hasInline ? argument.left(equals) : argument;
        const QString inlineValue = hasInline ? argument.mid(equals + 1) : QString();
        auto flag = [&](bool& target) {
            if (hasInline)
                Fail(QStringLiteral("option %1 takes no value").arg(name));
            target = true;
        };

        if (name == QLatin1String("--help") || name == QLatin1String("-h")) {
            flag(m_options.help);
        } else if (name == QLatin1String("--version") || name == QLatin1String("-v")) {
            flag(m_options.version);
        } else if (name == QLatin1String("--settings-dir")) {
            if (const auto v = Value(name, inlineValue, hasInline))
                m_options.settingsDir = *v;
        } else if (name == QLatin1String("--line")) {
            if (const auto v = Value(name, inlineValue, hasInline))
                SetNumber(name, *v, 0, 999, m_options.line);
            m_lineOptions << name;
        } else if (name == QLatin1String("--wait")) {
            if (const auto v = Value(name, inlineValue, hasInline))
                SetNumber(name, *v, 0, kLongestWaitSeconds, m_options.waitSeconds);
            m_waitGiven = true;
            m_lineOptions << name;
        } else if (name == QLatin1String("--rings")) {
            if (const auto v = Value(name, inlineValue, hasInline))
                SetNumber(name, *v, 1, 12, m_options.rings);
            m_ringsGiven = true;
        } else if (name == QLatin1String("--send")) {
            SetWork(name, Work::Send, hasInline);
            m_takingFiles = true;
        } else if (name == QLatin1String("--receive")) {
            SetWork(name, Work::Receive, hasInline);
        } else if (name == QLatin1String("--chat")) {
            SetWork(name, Work::Chat, hasInline);
        } else if (name == QLatin1String("--folder")) {
            if (const auto v = Value(name, inlineValue, hasInline))
                m_options.folder = *v;
            m_receiveOptions << name;
        } else if (name == QLatin1String("--existing")) {
            if (const auto v = Value(name, inlineValue, hasInline)) {
                if (!ExistingPolicyFromName(*v, m_options.existing))
                    Fail(QStringLiteral(
                             "--existing takes new-name, overwrite, newer, skip or resume, not '%1'")
                             .arg(*v));
            }
            m_receiveOptions << name;
        } else if (name == QLatin1String("--device")) {
            if (const auto v = Value(name, inlineValue, hasInline))
                m_options.device = *v;
            m_deviceOptions << name;
        } else if (name == QLatin1String("--speed")) {
            if (const auto v = Value(name, inlineValue, hasInline)) {
                bool ok = false;
                m_options.speed = v->toInt(&ok);
                if (!ok || !SpeedAllowed(m_options.speed))
                    Fail(QStringLiteral("--speed takes one of 110, 300, 600, 1200, 2400, 4800, 9600, 19200, "
                                        "38400, 57600 and 115200, not '%1'")
                             .arg(*v));
            }
            m_deviceOptions << name;
        } else if (name == QLatin1String("--flow")) {
            if (const auto v = Value(name, inlineValue, hasInline)) {
                if (*v == QLatin1String("none"))
                    m_options.flow = Flow::None;
                else if (*v == QLatin1String("rtscts"))
                    m_options.flow = Flow::RtsCts;
                else if (*v == QLatin1String("xonxoff"))
                    m_options.flow = Flow::XonXoff;
                else
                    Fail(QStringLiteral("--flow takes none, rtscts or xonxoff, not '%1'").arg(*v));
            }
            m_deviceOptions << name;
        } else {
            Fail(QStringLiteral("unknown option '%1'").arg(argument));
        }
    }

    void Word(const QString& word)
    {
        if (m_takingFiles) {
            m_options.files << word;
            return;
        }
        if (m_options.command == Command::None) {
            if (word == QLatin1String("dial")) {
                m_options.command = Command::Dial;
                m_wantNumber = true;
            } else if (word == QLatin1String("answer")) {
                m_options.command = Command::Answer;
            } else if (word == QLatin1String("send")) {
                m_options.command = Command::Send;
                m_options.work = Work::Send;
                m_takingFiles = true;
            } else if (word == QLatin1String("receive")) {
                m_options.command = Command::Receive;
                m_options.work = Work::Receive;
            } else {
                Fail(QStringLiteral("unknown command '%1': dial, answer, send or receive").arg(word));
            }
            return;
        }
        if (m_wantNumber) {
            m_options.number = word;
            m_wantNumber = false;
            return;
        }
        Fail(QStringLiteral("unexpected argument '%1'").arg(word));
    }

    void SetWork(const QString& name, Work work, bool hasInline)
    {
        if (hasInline)
            Fail(QStringLiteral("option %1 takes no value").arg(name));
        if (m_workGiven && m_options.work != work)
            Fail(QStringLiteral("only one of --send, --receive and --chat can be given"));
        m_workGiven = true;
        m_workOption = name;
        m_options.work = work;
    }

    void SetNumber(const QString& name, const QString& text, int low, int high, int& target)
    {
        if (const auto value = Number(text, low, high))
            target = *value;
        else
            Fail(QStringLiteral("option %1 takes a number from %2 to %3, not '%4'")
                     .arg(name)
                     .arg(low)
                     .arg(high)
                     .arg(text));
    }

    // What the words and options say must fit together.
    void Check()
    {
        const Command command = m_options.command;
        const bool onLine = command == Command::Dial || command == Command::Answer;
        if (command == Command::None)
            return Fail(QStringLiteral("no command given: dial, answer, send or receive"));
        if (command == Command::Dial && m_options.number.isEmpty())
            return Fail(QStringLiteral("dial needs a number"));
        if (!onLine && m_workGiven)
            return Fail(QStringLiteral("%1 goes with dial or answer; without a line use the %2 command")
                            .arg(m_workOption, command == Command::Send ? "send" : "receive"));
        if (!onLine && !m_lineOptions.isEmpty())
            return Fail(QStringLiteral("%1 goes with dial or answer").arg(m_lineOptions.first()));
        if (onLine && !m_deviceOptions.isEmpty())
            return Fail(QStringLiteral("%1 goes with the send and receive commands, which use no line")
                            .arg(m_deviceOptions.first()));
        if (m_options.device.isEmpty() && m_deviceOptions.size() > m_deviceOptions.count("--device"))
            return Fail(QStringLiteral("--speed and --flow need --device"));
        if (m_ringsGiven && command != Command::Answer)
            return Fail(QStringLiteral("--rings goes with answer"));
        if (!m_receiveOptions.isEmpty() && m_options.work == Work::Send)
            return Fail(QStringLiteral("%1 goes with receiving or a chat").arg(m_receiveOptions.first()));
        if (m_options.work == Work::Send && m_options.files.isEmpty())
            return Fail(QStringLiteral("no file to send"));
        if (m_options.work != Work::Send && !m_options.files.isEmpty())
            return Fail(QStringLiteral("unexpected argument '%1'").arg(m_options.files.first()));
        if (command == Command::Dial && !m_waitGiven)
            m_options.waitSeconds = kDefaultDialWaitSeconds;
    }

    void Fail(const QString& error)
    {
        if (m_options.error.isEmpty())
            m_options.error = error;
    }

    const QStringList& m_arguments;
    qsizetype m_next = 0;
    Options m_options;
    bool m_takingFiles = false;
    bool m_allFiles = false;
    bool m_wantNumber = false;
    bool m_workGiven = false;
    bool m_waitGiven = false;
    bool m_ringsGiven = false;
    QString m_workOption;
    QStringList m_lineOptions;
    QStringList m_deviceOptions;
    QStringList m_receiveOptions;
};

} // namespace

Options ParseOptions(const QStringList& arguments)
{
    return Parser(arguments).Run();
}

bool ExistingPolicyFromName(const QString& name, qv::TReceiveExistingFiles& policy)
{
    for (const NamedPolicy& entry : kPolicies) {
        if (name == QLatin1String(entry.name)) {
            policy = entry.policy;
            return true;
        }
    }
    return false;
}

QString HelpText()
{
    return QStringLiteral("Usage: vh-term [OPTIONS] dial NUMBER [WORK]\n"
                          "       vh-term [OPTIONS] answer [--rings N] [WORK]\n"
                          "       vh-term send [DEVICE] FILE...\n"
                          "       vh-term receive [DEVICE] [RECEIVING]\n"
                          "VH Terminal from the command line: place or answer a data call on one of the\n"
                          "program's lines and send files, receive files or chat over it; or send and\n"
                          "receive with ZMODEM over the standard streams or a serial device, with no line.\n"
                          "\n"
                          "Options of dial and answer:\n"
                          "  --settings-dir DIR   the settings folder with telephony.conf (as vh-terminal)\n"
                          "  --line N             the line device to use (0)\n"
                          "  --wait SECONDS       give up when no call is connected by then (dial: 90,\n"
                          "                       answer: 0, no limit)\n"
                          "  --rings N            answer on the Nth ring, 1 to 12 (1)\n"
                          "WORK, once the call is connected:\n"
                          "  --send FILE...       send the files\n"
                          "  --receive            receive what the far side sends\n"
                          "  --chat               standard input to the line, the line to standard output\n"
                          "                       (the default); on a terminal Ctrl-] hangs up; files the\n"
                          "                       far side sends are received, and a far side that waits\n"
                          "                       for files is sent the ones whose names are typed\n"
                          "RECEIVING (with --receive or a chat):\n"
                          "  --folder DIR         where received files go (the current folder)\n"
                          "  --existing POLICY    a file that exists already: new-name (the default),\n"
                          "                       overwrite, newer, skip or resume\n"
                          "DEVICE (without it, the standard input and output carry the transfer):\n"
                          "  --device PATH        a serial device, opened exclusively\n"
                          "  --speed BPS          its speed (115200)\n"
                          "  --flow FLOW          none (the default), rtscts or xonxoff\n"
                          "\n"
                          "  -h, --help           show this help and exit\n"
                          "  -v, --version        show the version and exit\n"
                          "\n"
                          "Progress goes to standard error. Exit status: 0 all done, 1 a file was not\n"
                          "sent or received, 2 wrong command line, 3 the line or device cannot be used,\n"
                          "4 busy, 5 no answer, 6 the call did not go through, 128+N ended by signal N.\n");
}

QString VersionText()
{
    return QStringLiteral("vh-term %1\n").arg(QStringLiteral(VH_TERMINAL_VERSION));
}

} // namespace vh::cli
