// A modem line's device on a VirtualModem: the bytes go through the real tty
// code on the modem's pty, the modem-control lines (which a pty lacks) are
// wired to the modem's own DTR and DCD. The modem must outlive the device.
#pragma once

#include "telephony/service/providers/tty/TtyDevice.h"
#include "tests/support/VirtualModem.h"

namespace qv::test {

class VirtualModemDevice final : public tty::TtyDevice
{
public:
    explicit VirtualModemDevice(VirtualModem& modem) : m_modem(modem), m_tty(tty::MakePosixTtyDevice()) {}
    ~VirtualModemDevice() override { Close(); }

    tty::OpenResult Open(const tty::TtySettings& settings) override
    {
        const tty::OpenResult r = m_tty->Open(settings);
        if (r.ok())
            m_modem.SetDtr(true);
        return r;
    }
    void Close() override
    {
        // The last close of a tty drops DTR.
        if (m_tty->IsOpen())
            m_modem.SetDtr(false);
        m_tty->Close();
    }
    bool IsOpen() const override { return m_tty->IsOpen(); }
    int Fd() const override { return m_tty->Fd(); }
    bool Write(QByteArrayView bytes) override { return m_tty->Write(bytes); }
    ReadStatus Read(QByteArray& out, int max) override { return m_tty->Read(out, max); }
    void DiscardInput() override { m_tty->DiscardInput(); }
    void DiscardOutput() override { m_tty->DiscardOutput(); }
    void SetReadyHandler(std::function<void()> handler) override
    {
        m_tty->SetReadyHandler(std::move(handler));
    }
    void SetReadyNotify(bool on) override { m_tty->SetReadyNotify(on); }
    bool HasModemLines() const override { return IsOpen(); }
    bool Carrier() const override { return IsOpen() && m_modem.Dcd(); }
    bool SetDtr(bool high) override
    {
        if (!IsOpen())
            return false;
        m_modem.SetDtr(high);
        return true;
    }
    bool HungUp() const override { return m_tty->HungUp(); }

private:
    VirtualModem& m_modem;
    std::unique_ptr<tty::TtyDevice> m_tty;
};

} // namespace qv::test
