// A line's tty for tests: a scripted modem behind the TtyDevice seam, with
// modem-control lines that a test sets and reads. Replies to commands arrive
// on the next turn of the (virtual) clock, as a tty's would. A line that
// sends no commands (a direct serial line) uses only the lines.
#pragma once

#include "common/Clock.h"
#include "telephony/service/providers/tty/TtyDevice.h"

#include <functional>
#include <memory>
#include <vector>

namespace qv::test {

class FakeModemDevice final : public tty::TtyDevice
{
public:
    // What the modem says to a command line (without its CR); empty: nothing.
    // By default OK to every command; a dial or an answer waits for the
    // test to inject its result, and a bare CR gets nothing.
    std::function<QByteArray(const QByteArray& command)> responder = [](const QByteArray& command) {
        if (command.isEmpty() || command.startsWith("ATD") || command == "ATA")
            return QByteArray();
        return QByteArray("\r\nOK\r\n");
    };
    // Runs when the line sends "+++".
    std::function<void()> escape;
    tty::OpenResult openResult;
    bool modemLines = true;
    bool dcd = false;
    bool dtr = false;
    bool dtrHangsUp = true; // a modem set to hang up when DTR drops
    bool dtrFails = false;  // the system refuses to change DTR
    bool hungUp = false;
    bool writeFails = false;
    std::vector<bool> dtrChanges;
    QByteArray written;               // everything the line wrote
    std::vector<QByteArray> commands; // each command line it sent
    QByteArray input;                 // what waits to be read
    bool open = false;
    int opens = 0;
    tty::TtySettings settings; // what the last open was given
    int outputDiscards = 0;

    ~FakeModemDevice() override { Close(); }

    // Bytes the modem sends on its own (RING, caller ID, results, data).
    void Inject(const QByteArray& bytes)
    {
        input += bytes;
        Notify();
    }

    tty::OpenResult Open(const tty::TtySettings& given) override
    {
        ++opens;
        settings = given;
        open = openResult.ok();
        if (open)
            dtr = true;
        return openResult;
    }
    void Close() override
    {
        open = false;
        notify = false;
        if (m_pending) {
            Clock::Instance().StopTimer(m_pending);
            m_pending = 0;
        }
    }
    bool IsOpen() const override { return open; }
    int Fd() const override { return open ? 42 : -1; }

    bool Write(QByteArrayView bytes) override
    {
        if (writeFails || !open)
            return false;
        written += bytes.toByteArray();
        for (char c : bytes) {
            if (c != '\r') {
                m_line.append(c);
                continue;
            }
            const QByteArray command = m_line;
            m_line.clear();
            commands.push_back(command);
            input += responder(command);
        }
        // "+++" has no CR: it stays in the partial line until the next
        // command, as on a modem that treats it as the start of one.
        if (m_line.endsWith("+++")) {
            m_line.clear();
            if (escape)
                escape();
        }
        Notify();
        return true;
    }
    ReadStatus Read(QByteArray& out, int max) override
    {
        if (hungUp && input.isEmpty())
            return ReadStatus::Closed;
        if (input.isEmpty())
            return ReadStatus::Nothing;
        out += input.left(max);
        input.remove(0, max);
        return ReadStatus::Data;
    }
    void DiscardInput() override { input.clear(); }
    void DiscardOutput() override { ++outputDiscards; }
    void SetReadyHandler(std::function<void()> h) override { handler = std::move(h); }
    void SetReadyNotify(bool on) override
    {
        notify = on;
        Notify();
    }
    bool HasModemLines() const override { return modemLines; }
    bool Carrier() const override { return dcd; }
    bool SetDtr(bool high) override
    {
        if (!modemLines || dtrFails)
            return false;
        dtr = high;
        dtrChanges.push_back(high);
        if (!high && dtrHangsUp)
            dcd = false;
        return true;
    }
    bool HungUp() const override { return hungUp; }

    bool CommandSent(const QByteArray& command) const
    {
        return std::find(commands.begin(), commands.end(), command) != commands.end();
    }

    std::function<void()> handler;
    bool notify = false;

private:
    void Notify()
    {
        if (!notify || !open || m_pending || (input.isEmpty() && !hungUp))
            return;
        m_pending = Clock::Instance().StartTimer(1, [this] {
            Clock::Instance().StopTimer(m_pending);
            m_pending = 0;
            if (notify && handler && (!input.isEmpty() || hungUp))
                handler();
        });
    }

    QByteArray m_line;
    TimerId m_pending = 0;
};

// A line's device factory that hands one new fake out at the line's first
// open; `fake` is left pointing at it for the test.
inline std::function<std::unique_ptr<tty::TtyDevice>(int)> FakeDeviceFactory(FakeModemDevice*& fake)
{
    auto device = std::make_shared<std::unique_ptr<FakeModemDevice>>(std::make_unique<FakeModemDevice>());
    fake = device->get();
    return [device](int) -> std::unique_ptr<tty::TtyDevice> { return std::move(*device); };
}

} // namespace qv::test
