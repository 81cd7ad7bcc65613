// The line providers' own configuration dialogs, driven as the operator
// would on the offscreen platform: what is accepted reaches the line and the
// saved value, what is cancelled changes nothing.
#include "PhoneHarness.h"

#include "telephony/LineConfigStore.h"
#include "telephony/service/ModemConfig.h"
#include "telephony/service/Service.h"
#include "telephony/service/providers/sim/SimConfigDialog.h"
#include "telephony/service/providers/tcp/TcpConfigDialog.h"
#include "telephony/service/providers/tcp/TcpProvider.h"
#include "telephony/service/providers/tcp/ConfiguredProviders.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

using namespace qv;
using namespace qv::test;
using namespace tapi;

namespace {

// Runs `operate` on the modal dialog as soon as it shows.
void WhenDialogShows(std::function<void(QDialog&)> operate)
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, operate] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            operate(*dialog);
        }
    });
    timer->start();
}

class LineConfigDialogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
    }
    void TearDown() override
    {
        Service::SetConfigDialogHandler(QStringLiteral("sim"), {});
        Service::SetConfigDialogHandler(QStringLiteral("tcp"), {});
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QDir::homePath() + "/.config");
    }

    QByteArray Stored(const QString& name)
    {
        QByteArray value;
        linestore::Read(HKEY_CURRENT_USER, m_key, name, value);
        return value;
    }

    QTemporaryDir m_dir;
    const QString m_key = QStringLiteral("Software\\VH Terminal\\Lines");
};

TEST_F(LineConfigDialogTest, SimulatedLineDialogEditsTheModemSettings)
{
    PhoneHarness h({LineSetup{}});
    sim::RegisterSimConfigDialog();
    QvPhone& phone = h.phone();
    const QByteArray before = h.DevConfig(0);
    ASSERT_EQ(modemcfg::ReadDword(before, modemcfg::kProviderSubtypeOffset), modemcfg::kProviderSubtypeModem);

    // Cancelled: the line keeps its configuration.
    WhenDialogShows([](QDialog& dialog) {
        dialog.findChild<QComboBox*>("ComboVolume")->setCurrentIndex(0);
        dialog.reject();
    });
    EXPECT_EQ(phone.LineConfigDialog(nullptr, 0), 0);
    EXPECT_EQ(h.DevConfig(0), before);

    WhenDialogShows([](QDialog& dialog) {
        dialog.findChild<QComboBox*>("ComboVolume")->setCurrentIndex(2);
        dialog.findChild<QComboBox*>("ComboSpeaker")->setCurrentIndex(0);
        dialog.findChild<QCheckBox*>("CheckIcon")->setChecked(true);
        dialog.findChild<QDialogButtonBox*>("Buttons")->button(QDialogButtonBox::Ok)->click();
    });
    ASSERT_EQ(phone.LineConfigDialogSave(nullptr, HKEY_CURRENT_USER, m_key, QStringLiteral("Sim"), 0), 0);
    const QByteArray edited = h.DevConfig(0);
    EXPECT_EQ(modemcfg::ReadDword(edited, modemcfg::kSpeakerVolumeOffset), 2u);
    EXPECT_EQ(modemcfg::ReadDword(edited, modemcfg::kSpeakerModeOffset), 0u);
    EXPECT_EQ(modemcfg::ReadWord(edited, modemcfg::kOptionsOffset) & modemcfg::kOptionShowIcon,
              modemcfg::kOptionShowIcon);
    EXPECT_EQ(Stored(QStringLiteral("Sim")).mid(25), edited);

    // The saved settings come back after the line was set up otherwise.
    h.SetDevConfig(0, before);
    EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, m_key, QStringLiteral("Sim"), 0), 0);
    EXPECT_EQ(h.DevConfig(0), edited);

    // A line whose exchange refuses the dialog never shows it.
    h.sim().SetConfigDialog(LINEERR_NODEVICE);
    EXPECT_EQ(phone.LineConfigDialog(nullptr, 0), 101);
}

TEST_F(LineConfigDialogTest, InternetLineDialogChangesAddressPortAndMode)
{
    Service::Uninstall();
    tcp::TcpLineConfig line;
    line.name = QStringLiteral("Net");
    auto owned =
        std::make_unique<tcp::TcpProvider>(std::vector<tcp::TcpLineConfig>{line}, QMap<QString, QString>{});
    tcp::TcpProvider& provider = *owned;
    ASSERT_TRUE(Service::Install(std::move(owned)));
    tcp::RegisterTcpConfigDialog();
    {
        QvPhone phone;
        bool badAddressRefused = false;
        WhenDialogShows([&](QDialog& dialog) {
            auto* ok = dialog.findChild<QDialogButtonBox*>("Buttons")->button(QDialogButtonBox::Ok);
            auto* address = dialog.findChild<QLineEdit*>("EditAddress");
            address->setText(QStringLiteral("not an address"));
            badAddressRefused = !ok->isEnabled();
            address->setText(QStringLiteral("0.0.0.0"));
            dialog.findChild<QSpinBox*>("SpinPort")->setValue(2424);
            dialog.findChild<QComboBox*>("ComboMode")->setCurrentIndex(0);
            ok->click();
        });
        ASSERT_EQ(phone.LineConfigDialogSave(nullptr, HKEY_CURRENT_USER, m_key, QStringLiteral("Net"), 0), 0);
        EXPECT_TRUE(badAddressRefused);
        EXPECT_EQ(provider.LineConfig(0).listenAddress, QStringLiteral("0.0.0.0"));
        EXPECT_EQ(provider.LineConfig(0).listenPort, 2424);
        EXPECT_EQ(provider.LineConfig(0).mode, tcp::TcpMode::Raw);
        EXPECT_EQ(provider.LineConfig(0).name, QStringLiteral("Net"));

        tcp::TcpLineConfig saved;
        ASSERT_TRUE(tcp::DecodeConfigBlock(Stored(QStringLiteral("Net")).mid(25), saved));
        EXPECT_EQ(saved, provider.LineConfig(0));

        // Back to telnet through the dialog, then the saved settings again.
        WhenDialogShows([](QDialog& dialog) {
            dialog.findChild<QComboBox*>("ComboMode")->setCurrentIndex(1);
            dialog.accept();
        });
        ASSERT_EQ(phone.LineConfigDialog(nullptr, 0), 0);
        EXPECT_EQ(provider.LineConfig(0).mode, tcp::TcpMode::Telnet);
        EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, m_key, QStringLiteral("Net"), 0), 0);
        EXPECT_EQ(provider.LineConfig(0), saved);
    }
    Service::Uninstall();
}

TEST_F(LineConfigDialogTest, InternetLineDialogKeepsEveryFieldInTelephonyConf)
{
    Service::Uninstall();
    ASSERT_EQ(InstallConfiguredProviders(m_dir.path()), 1);
    tcp::RegisterTcpConfigDialog();
    tcp::TcpLineConfig wanted;
    wanted.name = QStringLiteral(u"خط, \"مودم\"; 2");
    wanted.listen = false;
    wanted.listenAddress = QStringLiteral("0.0.0.0");
    wanted.listenPort = 2525;
    wanted.mode = tcp::TcpMode::Raw;
    wanted.connectTimeoutSeconds = 45;
    {
        QvPhone phone;
        WhenDialogShows([&](QDialog& dialog) {
            dialog.findChild<QLineEdit*>("EditName")->setText(wanted.name);
            dialog.findChild<QLineEdit*>("EditAddress")->setText(wanted.listenAddress);
            dialog.findChild<QSpinBox*>("SpinPort")->setValue(wanted.listenPort);
            dialog.findChild<QCheckBox*>("CheckListen")->setChecked(false);
            dialog.findChild<QComboBox*>("ComboMode")->setCurrentIndex(0);
            dialog.findChild<QSpinBox*>("SpinTimeout")->setValue(wanted.connectTimeoutSeconds);
            dialog.findChild<QDialogButtonBox*>("Buttons")->button(QDialogButtonBox::Ok)->click();
        });
        ASSERT_EQ(phone.LineConfigDialog(nullptr, 0), 0);
    }
    // The next start reads what the operator set.
    Service::Uninstall();
    TelephonyConfig config = LoadTelephonyConfig(m_dir.path());
    auto providers = BuildConfiguredProviders(config);
    EXPECT_EQ(dynamic_cast<tcp::TcpProvider&>(*providers[0]).LineConfig(0), wanted);
}

} // namespace
