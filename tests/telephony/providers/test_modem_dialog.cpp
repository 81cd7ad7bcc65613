// The modem line's configuration dialog: it shows the line's settings, hands
// back what the operator chose, refuses an init string that is not one
// command line, and is what lineConfigDialog opens on a modem line.
#include "telephony/service/Service.h"
#include "telephony/service/Tapi.h"
#include "telephony/service/providers/modem/ModemConfigDialog.h"
#include "telephony/service/providers/modem/ModemProvider.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

namespace {

using namespace qv::modem;

ModemLineConfig Sample()
{
    ModemLineConfig c;
    c.device = "/dev/ttyUSB3";
    c.speed = 57600;
    c.flow = FlowControl::XonXoff;
    c.init = "AT&F";
    c.dialMode = DialMode::Pulse;
    c.volume = SpeakerVolume::Low;
    c.speaker = SpeakerMode::On;
    return c;
}

TEST(ModemDialog, ShowsTheSettingsAndHandsBackTheOperatorsChoice)
{
    ModemConfigDialog dialog(Sample());
    auto* volume = dialog.findChild<QComboBox*>("ComboVolume");
    auto* speaker = dialog.findChild<QComboBox*>("ComboSpeaker");
    auto* speed = dialog.findChild<QComboBox*>("ComboSpeed");
    auto* flow = dialog.findChild<QComboBox*>("ComboFlow");
    auto* dial = dialog.findChild<QComboBox*>("ComboDial");
    auto* init = dialog.findChild<QLineEdit*>("EditInit");
    auto* buttons = dialog.findChild<QDialogButtonBox*>("Buttons");
    ASSERT_TRUE(volume && speaker && speed && flow && dial && init && buttons);
    EXPECT_EQ(dialog.Config(), Sample()) << "nothing changed, nothing different";
    EXPECT_EQ(speed->currentText(), "57600");

    volume->setCurrentIndex(2);
    speaker->setCurrentIndex(0);
    speed->setCurrentIndex(speed->findData(115200));
    flow->setCurrentIndex(1);
    dial->setCurrentIndex(0);
    init->setText("ATZ X4");
    const ModemLineConfig c = dialog.Config();
    EXPECT_EQ(c.volume, SpeakerVolume::High);
    EXPECT_EQ(c.speaker, SpeakerMode::Off);
    EXPECT_EQ(c.speed, 115200);
    EXPECT_EQ(c.flow, FlowControl::RtsCts);
    EXPECT_EQ(c.dialMode, DialMode::Tone);
    EXPECT_EQ(c.init, QByteArray("ATZ X4"));
    EXPECT_EQ(c.device, "/dev/ttyUSB3");
    EXPECT_EQ(SpeakerCommands(c), QByteArray("L3M0"));

    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    EXPECT_TRUE(ok->isEnabled());
    for (const char* bad : {"DIAL", "ATZ\rATD5551234", "AT\xc3\xa9"}) {
        init->setText(QString::fromUtf8(bad));
        EXPECT_FALSE(ok->isEnabled()) << bad;
    }
    init->clear();
    EXPECT_TRUE(ok->isEnabled()) << "no init string at all is fine";
}

TEST(ModemDialog, LineConfigDialogOpensItAndTheLineKeepsWhatWasAccepted)
{
    auto provider = std::make_unique<ModemProvider>(std::vector<ModemLineConfig>{Sample()});
    ModemProvider* modem = provider.get();
    ASSERT_TRUE(tapi::Service::Install(std::move(provider)));
    RegisterModemConfigDialog();
    bool shown = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<ModemConfigDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        shown = true;
        dialog->findChild<QComboBox*>("ComboVolume")->setCurrentIndex(1);
        dialog->accept();
    });
    EXPECT_EQ(tapi::lineConfigDialogW(0, nullptr, u"comm/datamodem"), 0);
    EXPECT_TRUE(shown);
    EXPECT_EQ(modem->LineConfig(0).volume, SpeakerVolume::Medium);
    EXPECT_EQ(modem->LineConfig(0).device, "/dev/ttyUSB3");
    tapi::Service::SetConfigDialogHandler("modem", {});
    tapi::Service::Uninstall();
}

} // namespace
