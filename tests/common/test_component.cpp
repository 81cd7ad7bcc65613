#include "common/Component.h"
#include "common/ErrorCodes.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace qv;

// A holder with a LinkedTo property, the way the port and the transfer hold
// theirs.
class Holder : public TQVT_ComponentVCL
{
public:
    using TQVT_ComponentVCL::TQVT_ComponentVCL;
    ~Holder() override { Destroying(); }

    TQVT_ComponentVCL* LinkedTo() const { return m_link.Get(); }
    void SetLinkedTo(TQVT_ComponentVCL* target)
    {
        ++setterCalls;
        m_link.Set(target, this);
    }
    void Notification(TComponent* component, TOperation operation) override
    {
        TQVT_ComponentVCL::Notification(component, operation);
        notifications.push_back({component, operation});
        if (m_link.IsRemovalOfTarget(this, component, operation))
            SetLinkedTo(nullptr);
    }

    int setterCalls = 0;
    std::vector<std::pair<TComponent*, TOperation>> notifications;

protected:
    void WndProc(TMessage& message) override
    {
        TQVT_ComponentVCL::WndProc(message);
        if (message.Msg == WM_USER + 400)
            message.Result = 1;
    }

private:
    ComponentLink<TQVT_ComponentVCL> m_link;
};

TEST(ComponentBase, VersionIsFixed)
{
    TQVT_ComponentVCL c;
    c.SetVersion("9.9");
    EXPECT_EQ(c.Version(), "3.5 (Build 61)");
}

TEST(ComponentBase, HiddenWindowDispatchesToTheMostDerivedHandler)
{
    Holder h;
    EXPECT_EQ(SendMessage(h.Handle(), WM_USER + 400, 0, 0), 1);
    EXPECT_EQ(SendMessage(h.Handle(), WM_USER + 401, 0, 0), 0) << "unknown messages get the default result";
    const WindowHandle handle = h.Handle();
    EXPECT_TRUE(MessageWindow::IsWindow(handle));
    {
        TQVT_ComponentVCL other;
        EXPECT_NE(other.Handle(), handle);
    }
}

TEST(ComponentBase, WindowGoesWithTheComponent)
{
    WindowHandle handle;
    {
        TQVT_ComponentVCL c;
        handle = c.Handle();
    }
    EXPECT_FALSE(MessageWindow::IsWindow(handle));
}

TEST(Links, RemovingTheTargetClearsTheLinkThroughTheSetter)
{
    Holder holder;
    auto* phone = new TQVT_ComponentVCL;
    holder.SetLinkedTo(phone);
    holder.SetLinkedTo(phone); // same value: nothing new registered
    EXPECT_EQ(phone->FreeNotificationCount(), 1);
    EXPECT_EQ(holder.setterCalls, 2);
    delete phone;
    EXPECT_EQ(holder.LinkedTo(), nullptr);
    EXPECT_EQ(holder.setterCalls, 3) << "the link is cleared through the property setter";
}

TEST(Links, AChainClearsLinkByLink)
{
    // phone <- port <- transfer, freed in the order a window might choose.
    auto* phone = new TQVT_ComponentVCL;
    auto* port = new Holder;
    Holder transfer;
    port->SetLinkedTo(phone);
    transfer.SetLinkedTo(port);
    delete phone;
    EXPECT_EQ(port->LinkedTo(), nullptr);
    EXPECT_EQ(transfer.LinkedTo(), port);
    delete port;
    EXPECT_EQ(transfer.LinkedTo(), nullptr);
}

TEST(Links, TheHolderGoingFirstLeavesNothingBehind)
{
    TQVT_ComponentVCL phone;
    {
        Holder port;
        port.SetLinkedTo(&phone);
        EXPECT_EQ(phone.FreeNotificationCount(), 1);
    }
    EXPECT_EQ(phone.FreeNotificationCount(), 0) << "a destroyed holder must not be notified later";
}

TEST(Links, ARetargetedLinkIgnoresTheOldTargetsRemoval)
{
    Holder port;
    auto* first = new TQVT_ComponentVCL;
    TQVT_ComponentVCL second;
    port.SetLinkedTo(first);
    port.SetLinkedTo(&second);
    delete first; // still registered, but no longer the target
    EXPECT_EQ(port.LinkedTo(), &second);
}

TEST(Ownership, OwnerFreesItsComponentsAndTheyRaiseNothingOnTheWay)
{
    auto* form = new TComponent;
    auto* phone = new TQVT_ComponentVCL(form);
    auto* port = new Holder(form);
    port->SetLinkedTo(phone);
    ASSERT_EQ(form->Components().size(), 2u);
    EXPECT_EQ(phone->Owner(), form);
    port->notifications.clear();
    delete form; // port goes first (last created), then phone: no dangling registration
    SUCCEED();
}

TEST(Ownership, DestroyingIsMarkedOnOwnedComponentsFirst)
{
    struct Watcher : TComponent
    {
        using TComponent::TComponent;
        bool* sawDestroying = nullptr;
        ~Watcher() override { *sawDestroying = IsDestroying(); }
    };
    bool sawDestroying = false;
    auto* form = new TComponent;
    auto* w = new Watcher(form);
    w->sawDestroying = &sawDestroying;
    delete form;
    EXPECT_TRUE(sawDestroying);
}

TEST(Ownership, DesignTimeIsInherited)
{
    TComponent form;
    form.SetDesigning(true);
    auto* child = new TQVT_ComponentVCL(&form);
    EXPECT_TRUE(child->IsDesigning());
    form.SetDesigning(false);
    EXPECT_FALSE(child->IsDesigning());
}

class UnicodeProbeTest : public ::testing::Test
{
protected:
    void TearDown() override { SetUnicodeProbe(nullptr); }
};

TEST_F(UnicodeProbeTest, NotImplementedMeansNarrowAndIsAskedOnce)
{
    int calls = 0;
    SetUnicodeProbe([&](int& lastError) {
        ++calls;
        lastError = oserr::CallNotImplemented;
        return false;
    });
    TQVT_ComponentVCL c;
    EXPECT_FALSE(c.UnicodeProbed());
    EXPECT_FALSE(c.IsUnicodeAvailable());
    EXPECT_FALSE(c.IsUnicodeAvailable());
    EXPECT_EQ(calls, 1);
    TQVT_ComponentVCL d;
    EXPECT_FALSE(d.IsUnicodeAvailable());
    EXPECT_EQ(calls, 2) << "each component probes once";
}

TEST_F(UnicodeProbeTest, AnyOtherFailureStillMeansWide)
{
    SetUnicodeProbe([](int& lastError) {
        lastError = oserr::AccessDenied;
        return false;
    });
    TQVT_ComponentVCL c;
    EXPECT_TRUE(c.IsUnicodeAvailable());
}

TEST_F(UnicodeProbeTest, TheRealProbeSucceeds)
{
    TQVT_ComponentVCL c;
    EXPECT_TRUE(c.IsUnicodeAvailable());
    EXPECT_TRUE(c.UnicodeProbed());
}

TEST(ShowMessage, GoesThroughTheInstalledHandler)
{
    QStringList shown;
    SetShowMessageHandler([&](const QString& text) { shown << text; });
    ShowMessage("Value out of range");
    SetShowMessageHandler(nullptr);
    EXPECT_EQ(shown, QStringList{"Value out of range"});
}

} // namespace
