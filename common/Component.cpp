#include "common/Component.h"

#include "common/ErrorCodes.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace qv {

// ----------------------------------------------------------------- TComponent

TComponent::TComponent(TComponent* owner)
{
    if (owner)
        owner->InsertComponent(this);
}

TComponent::~TComponent()
{
    Destroying();
    // Owned components go first, last created first.
    while (!m_components.empty()) {
        TComponent* child = m_components.back();
        delete child; // its destructor removes it from m_components
    }
    // Tell everyone who registered with us; each of them forgets us first, so
    // that a Notification handler may not reach back into a half-gone object.
    while (!m_freeNotifies.empty()) {
        TComponent* other = *m_freeNotifies.begin();
        m_freeNotifies.erase(m_freeNotifies.begin());
        other->m_freeNotifies.erase(this);
        other->Notification(this, opRemove);
    }
    if (m_owner)
        m_owner->RemoveComponent(this);
}

void TComponent::FreeNotification(TComponent* component)
{
    if (!component || component == this)
        return;
    m_freeNotifies.insert(component);
    component->m_freeNotifies.insert(this);
}

void TComponent::RemoveFreeNotification(TComponent* component)
{
    if (!component)
        return;
    m_freeNotifies.erase(component);
    component->m_freeNotifies.erase(this);
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::SetDesigning(bool designing)
{
    m_designing = designing;
    for (TComponent* child : m_components)
        child->SetDesigning(designing);
}

void TComponent::Destroying()
{
    if (m_destroying)
        return;
    m_destroying = true;
    for (TComponent* child : m_components)
        child->Destroying();
}

void TComponent::InsertComponent(TComponent* component)
{
    m_components.push_back(component);
    component->m_owner = this;
    component->m_designing = m_designing;
    Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component)
{
    m_components.erase(std::remove(m_components.begin(), m_components.end(), component), m_components.end());
    component->m_owner = nullptr;
    Notification(component, opRemove);
}

// ---------------------------------------------------------- Unicode probe

namespace {

bool RealUnicodeProbe(int& lastError)
{
    // Asks for the current user's name, as the wide user-name query would.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    const int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == 0 && found)
        return true;
    lastError = ErrnoToOsError(rc ? rc : ENOENT);
    return false;
}

UnicodeProbe& ProbeInForce()
{
    static UnicodeProbe probe;
    return probe;
}

ShowMessageHandler& MessageHandlerInForce()
{
    static ShowMessageHandler handler;
    return handler;
}

} // namespace

void SetUnicodeProbe(UnicodeProbe probe)
{
    ProbeInForce() = std::move(probe);
}

// -------------------------------------------------------------- TQVT_Ancestor

TQVT_Ancestor::TQVT_Ancestor(TComponent* owner)
    : TComponent(owner), m_probe(ProbeInForce()), m_window([this](TMessage& message) { WndProc(message); })
{
    // The window dispatches through the virtual WndProc, so messages reach the
    // most derived override once construction has finished; nothing is
    // delivered to it before then because delivery is by message.
}

TQVT_Ancestor::~TQVT_Ancestor() = default;

QString TQVT_Ancestor::Version() const
{
    return QStringLiteral("3.5 (Build 61)");
}

bool TQVT_Ancestor::IsUnicodeAvailable()
{
    if (!m_unicodeProbed) {
        m_unicodeProbed = true;
        int lastError = 0;
        const bool ok = m_probe ? m_probe(lastError) : RealUnicodeProbe(lastError);
        m_unicodeAvailable = ok || lastError != oserr::CallNotImplemented;
    }
    return m_unicodeAvailable;
}

void TQVT_Ancestor::WndProc(TMessage& message)
{
    message.Result = DefWindowProc(Handle(), message.Msg, message.WParam, message.LParam);
}

// ---------------------------------------------------------- TQVT_ComponentVCL

QString TQVT_ComponentVCL::GetErrorMessage(int errorCode) const
{
    return ErrorCodeToMessage(errorCode);
}

// ---------------------------------------------------------------- ShowMessage

void SetShowMessageHandler(ShowMessageHandler handler)
{
    MessageHandlerInForce() = std::move(handler);
}

void ShowMessage(const QString& text)
{
    if (const ShowMessageHandler& handler = MessageHandlerInForce())
        handler(text);
    else
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

} // namespace qv
