#include "transfer/QvFile.h"

#include "transfer/ZmodemSession.h"

#include <QDir>
#include <QFileInfo>

#include <cmath>

namespace qv {

int TransferPercent(std::int64_t x, std::int64_t y)
{
    if (y <= 0)
        return 0;
    const int pct = static_cast<int>(std::trunc(static_cast<double>(x) * 100.0 / static_cast<double>(y)));
    return pct == 100 ? 99 : pct;
}

// ---- TTransfer

QvSerialPort* TTransfer::LinkedTo() const
{
    return m_owner->m_port.Get();
}

void TTransfer::SetLinkedTo(QvSerialPort* port)
{
    m_owner->LinkPort(port);
}

void TTransfer::SetReceiveFolder(const QString& folder)
{
    qsizetype begin = 0;
    qsizetype end = folder.size();
    while (begin < end && folder[begin] == QLatin1Char(' '))
        ++begin;
    while (end > begin && folder[end - 1] == QLatin1Char(' '))
        --end;
    QString value = folder.mid(begin, end - begin);
    if (!value.isEmpty() && !value.endsWith(QLatin1Char('/')))
        value += QLatin1Char('/');
    m_receiveFolder = value;
}

void TTransfer::SetResumedTransferAlternative(TReceiveExistingFiles value)
{
    if (value == efResumeTransfer) {
        ShowMessage(QStringLiteral(
            "The option efResumeTransfer is not applicable to the property ResumedTransferAlternative."));
        return;
    }
    m_resumedAlternative = value;
}

// ---- TFileComp

void TFileComp::SetFileExt(const QString& value)
{
    if (value == m_fileExt)
        return;
    QString ext = value;
    bool valid = !ext.isEmpty();
    if (valid && !ext.startsWith(QLatin1Char('.')))
        ext.prepend(QLatin1Char('.'));
    if (valid && (ext.size() < 2 || ext.size() > 4))
        valid = false;
    for (qsizetype i = 1; valid && i < ext.size(); ++i) {
        const QChar c = ext[i];
        if (c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('\\') || c == QLatin1Char('|'))
            valid = false;
    }
    if (!valid) {
        ShowMessage(QStringLiteral("Invalid file extension name."));
        return;
    }
    m_fileExt = ext;
}

// ---- QvFile

QvFile::QvFile(TComponent* owner)
    : TQVT_ComponentVCL(owner), m_transfer(this), m_alive(std::make_shared<bool>(true))
{
    m_session = std::make_unique<ZmodemSession>(*this);
}

QvFile::~QvFile()
{
    Destroying();
    StopTransfer();
    ListenMode(false);
    LinkPort(nullptr);
    *m_alive = false;
    m_session.reset();
}

TProtocolState QvFile::ProtocolState() const
{
    return m_session->State();
}

void QvFile::LinkPort(QvSerialPort* port)
{
    QvSerialPort* previous = m_port.Get();
    if (port == previous)
        return;
    if (previous) {
        // Whatever ran on the old port ends with it.
        if (m_mode == omSending || m_mode == omReceiving)
            m_session->StopWithError(0);
        m_session->EndTentativeStart();
        if (m_portSaved)
            GivePortBack();
        if (m_mode == omListening)
            m_mode = omIdle;
        previous->WatchPortState(this, nullptr);
        previous->RemoveFreeNotification(this);
    }
    m_port.Set(port, this);
    if (port) {
        // A transfer ends with its port, whoever holds the port's own event.
        std::weak_ptr<bool> alive = m_alive;
        port->WatchPortState(this, [this, alive](TComponent*, TPortState state, int param1) {
            if (auto token = alive.lock(); token && *token)
                m_session->OnPortState(state, param1);
        });
    }
    // Listening carries over to the new port.
    if (port && m_listen && m_mode == omIdle) {
        m_listen = false;
        ListenMode(true);
    }
}

void QvFile::Notification(TComponent* component, TOperation operation)
{
    TQVT_ComponentVCL::Notification(component, operation);
    if (m_port.IsRemovalOfTarget(this, component, operation)) {
        // The port is going: nothing may touch it any more.
        m_portSaved = false;
        m_savedReceiveData = nullptr;
        m_port.Set(nullptr, this);
        if (m_mode == omSending || m_mode == omReceiving)
            m_session->StopWithError(0);
        m_mode = omIdle;
    }
}

void QvFile::WndProc(TMessage& message)
{
    TQVT_ComponentVCL::WndProc(message);
    if (message.Msg == MSG_SEND_DATA) {
        m_session->OnSendData(message.WParam);
        message.Result = 0;
    } else if (m_session->HandlesMessage(message.Msg)) {
        m_session->OnMessage(message.Msg, message.WParam);
        message.Result = 0;
    } else if (message.Msg == WM_TIMER && message.WParam == ZmodemSession::kQueueTimerId) {
        Window().KillTimer(ZmodemSession::kQueueTimerId);
        m_session->OnSendData(0);
        message.Result = 0;
    } else {
        message.Result = DefWindowProc(Handle(), message.Msg, message.WParam, message.LParam);
    }
}

void QvFile::TakeOverPort()
{
    QvSerialPort* port = m_port.Get();
    if (!port)
        return;
    if (!m_portSaved) {
        m_savedReceiveData = port->OnReceiveData();
        m_savedMonitor = port->MonitorReceiveData();
        m_portSaved = true;
    }
    std::weak_ptr<bool> alive = m_alive;
    port->SetOnReceiveData([this, alive](TComponent* sender, char* data, int size, WindowHandle& display) {
        if (auto token = alive.lock(); token && *token)
            m_session->PortDataReceived(sender, data, size, display);
    });
    port->SetMonitorReceiveData(true);
}

void QvFile::GivePortBack()
{
    QvSerialPort* port = m_port.Get();
    if (!port || !m_portSaved)
        return;
    port->SetOnReceiveData(m_savedReceiveData);
    port->SetMonitorReceiveData(m_savedMonitor);
    m_savedReceiveData = nullptr;
    m_portSaved = false;
}

int QvFile::SendFiles(const QString& fileList)
{
    return m_session->SendFiles(fileList);
}

int QvFile::ListenMode(bool enable)
{
    QvSerialPort* port = m_port.Get();
    if (!port)
        return 603;
    if (enable == m_listen)
        return 0;
    m_listen = enable;
    if (m_mode == omSending || m_mode == omReceiving)
        return 0;
    if (enable) {
        if (port->MaxReceiveSize() < 2048 || port->MaxSendSize() < 2048) {
            m_listen = false;
            return 604;
        }
        m_session->ResetRetries();
        TakeOverPort();
        m_mode = omListening;
        FireState(tsListenModeStart, QString(), 0);
    } else {
        // Text held back after an "rz" belongs to the terminal, which gets
        // the port back now.
        m_session->EndTentativeStart();
        if (!IsDestroying())
            GivePortBack();
        m_mode = omIdle;
        FireState(tsIdleModeStart, QString(), 0);
    }
    return 0;
}

void QvFile::StopTransfer()
{
    m_session->StopWithError(0);
}

int QvFile::CancelRemoteReceiver()
{
    QvSerialPort* port = m_port.Get();
    if (!port)
        return 603;
    if (!port->IsOpened())
        return 508;
    return port->SendString(ZmodemSession::CancelSequence());
}

void QvFile::FireRemoteReceiverReady()
{
    // An operation that began meanwhile is serving the far side already.
    if (m_onRemoteReceiver && !IsDestroying() && m_mode != omSending && m_mode != omReceiving) {
        TRemoteReceiverEvent handler = m_onRemoteReceiver;
        handler(this);
    }
}

bool QvFile::FileExists(const QString& name) const
{
    const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash >= 0 ? name.left(slash + 1) : QStringLiteral("./");
    const QString pattern = name.mid(slash + 1);
    if (pattern.isEmpty())
        return false;
    QDir dir(folder);
    const QStringList matches =
        dir.entryList(QStringList{pattern}, QDir::Files | QDir::Hidden | QDir::System, QDir::NoSort);
    return !matches.isEmpty();
}

void QvFile::FireState(TTransferState state, const QString& name, int param1)
{
    if (m_onState && !IsDestroying())
        m_onState(this, state, name, param1);
}

void QvFile::FireProgress(TTransferOperation op, const QString& name, int fileIndex, int fileBytes,
                          int filePerc, int totalBytes, int totalPerc)
{
    if (m_onProgress && !IsDestroying())
        m_onProgress(this, op, name, fileIndex, fileBytes, filePerc, totalBytes, totalPerc);
}

} // namespace qv
