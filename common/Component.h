// The component model of the suite: ownership, removal notification and the
// design-time flag (TComponent), the hidden message window and common
// properties (TQVT_Ancestor), and the error-message method (TQVT_ComponentVCL).
#pragma once

#include "common/MessageWindow.h"

#include <QString>

#include <functional>
#include <memory>
#include <set>
#include <vector>

namespace qv {

enum TOperation : int
{
    opInsert,
    opRemove
};

// Owner/owned tree and removal notification.
//
// An owner destroys the components it owns when it is destroyed. A component
// that called Target->FreeNotification(this) receives
// Notification(Target, opRemove) when Target is destroyed; the registration is
// two-way, so whichever of the two goes first leaves no pointer behind in the
// other.
//
// Destruction order: a component's destructor calls Destroying() first (so that
// its own close operations raise no events), releases its resources, and the
// base destructor then destroys owned components, notifies the registered
// components and detaches from the owner.
class TComponent
{
public:
    explicit TComponent(TComponent* owner = nullptr);
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return m_owner; }
    const std::vector<TComponent*>& Components() const { return m_components; }

    QString Name() const { return m_name; }
    void SetName(const QString& name) { m_name = name; }

    // Registers `component` to be told when this component goes. Registering
    // the same component again changes nothing.
    void FreeNotification(TComponent* component);
    void RemoveFreeNotification(TComponent* component);
    // How many components are registered with this one (tests).
    int FreeNotificationCount() const { return static_cast<int>(m_freeNotifies.size()); }

    // Called when `component` is inserted into or removed from this owner, or
    // when a component this one registered with is destroyed.
    virtual void Notification(TComponent* component, TOperation operation);

    // csDestroying: set by Destroying(), never cleared.
    bool IsDestroying() const { return m_destroying; }
    // csDesigning: false at run time; tests set it to exercise design-time paths.
    bool IsDesigning() const { return m_designing; }
    void SetDesigning(bool designing);

protected:
    // Marks this component and everything it owns as being destroyed. Every
    // component destructor calls it before releasing anything.
    void Destroying();

private:
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);

    TComponent* m_owner = nullptr;
    std::vector<TComponent*> m_components;
    std::set<TComponent*> m_freeNotifies;
    QString m_name;
    bool m_destroying = false;
    bool m_designing = false;
};

// The wide-character interface probe behind IsUnicodeAvailable: returns true
// when the call succeeded, otherwise false with the OS error in `lastError`.
using UnicodeProbe = std::function<bool(int& lastError)>;
// Replaces the probe for every component created afterwards (nullptr restores
// the real one, which asks the user database for the current user's name).
void SetUnicodeProbe(UnicodeProbe probe);

class TQVT_Ancestor : public TComponent
{
public:
    explicit TQVT_Ancestor(TComponent* owner = nullptr);
    ~TQVT_Ancestor() override;

    // The hidden window; valid from construction to destruction.
    WindowHandle Handle() const { return m_window.Handle(); }
    MessageWindow& Window() { return m_window; }

    // Always "3.5 (Build 61)"; assigning is accepted and changes nothing.
    QString Version() const;
    void SetVersion(const QString&) {}

    // True unless the first probe failed with ERROR_CALL_NOT_IMPLEMENTED;
    // probes once per component.
    bool IsUnicodeAvailable();
    bool UnicodeProbed() const { return m_unicodeProbed; }

protected:
    // Every message of the hidden window on the main thread. Overrides call
    // the inherited handler first, handle their own messages, and give every
    // other message DefWindowProc's result.
    virtual void WndProc(TMessage& message);

private:
    bool m_unicodeProbed = false;
    bool m_unicodeAvailable = false;
    UnicodeProbe m_probe;
    MessageWindow m_window;
};

class TQVT_ComponentVCL : public TQVT_Ancestor
{
public:
    using TQVT_Ancestor::TQVT_Ancestor;
    // ErrorCodeToMessage(code), whichever component it is called on.
    QString GetErrorMessage(int errorCode) const;
};

// A LinkedTo property: holds a target component, registers the holder for
// the target's removal and tells the holder's Notification when the removal
// concerns the current target.
template <class T> class ComponentLink
{
public:
    T* Get() const { return m_target; }

    // Stores `target` and registers `holder` for its removal. Returns false
    // (and does nothing) when `target` is already the current one. A previous
    // target's registration is left in place.
    bool Set(T* target, TComponent* holder)
    {
        if (target == m_target)
            return false;
        m_target = target;
        if (target)
            target->FreeNotification(holder);
        return true;
    }

    // Whether a Notification received by `holder` is the removal of the
    // current target while the holder itself lives on: the holder then clears
    // the link through its own setter.
    bool IsRemovalOfTarget(const TComponent* holder, TComponent* component, TOperation operation) const
    {
        return operation == opRemove && !holder->IsDestroying() && m_target &&
               component == static_cast<TComponent*>(m_target);
    }

private:
    T* m_target = nullptr;
};

// The modal information box of property setters. The GUI installs a message
// box, tests capture the text; without a handler the text goes to stderr.
using ShowMessageHandler = std::function<void(const QString& text)>;
void SetShowMessageHandler(ShowMessageHandler handler);
void ShowMessage(const QString& text);

} // namespace qv
