// The window model's start-up, gateway start, re-arming, exit and hiding rules, with real
// sockets on loopback and a settings file of the test's own.

#include "shell/gateway_shell.h"
#include "shell/save_ini.h"
#include "support/fake_clock.h"
#include "support/fake_message_box.h"
#include "support/fake_notify_area.h"
#include "support/fake_page_loader.h"
#include "support/wait.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using Visibility = GatewayShell::Visibility;
using Sockets = std::pair<bool, bool>; // the address socket open, the proxy listening
const Sockets kRunning{true, true};
const Sockets kStopped{false, false};

class GatewayShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        qputenv("TARNIX_INI", dir.filePath(QStringLiteral("Tarnix.ini")).toUtf8());
        endpoints.network.gateway = Ipv4Address(127, 0, 0, 1);
        // Any free port: a port found free and then bound later may be taken by another test
        // running at the same time.
        endpoints.network.dhcpPort = 0;
        endpoints.network.proxyPort = 0;
        endpoints.lanServices = false; // no dnsmasq or firewall beside the machine's own
    }
    void TearDown() override {
        qunsetenv("TARNIX_INI");
        qunsetenv("TARNIX_CAPPORT_URL");
    }

    void store(const char* key, const QString& value) {
        ASSERT_TRUE(WriteINI(QStringLiteral("Setup"), QLatin1String(key), value,
                             QStringLiteral("Tarnix.ini")));
    }
    void storeLogin(const QString& pwd) {
        store("ProviderID", QStringLiteral("op42"));
        store("ProviderPWD", pwd);
    }
    QString stored(const char* key) {
        return ReadINI(QStringLiteral("Setup"), QLatin1String(key), QStringLiteral("<none>"),
                       QStringLiteral("Tarnix.ini"));
    }

    GatewayShell& load() {
        model = std::make_unique<GatewayShell>(
            GatewayShell::Services{messages, notifyArea, clock, pageLoader}, endpoints);
        pageLoader.navigations.clear();
        unloads = std::make_unique<QSignalSpy>(model.get(), &GatewayShell::unloaded);
        model->startUp();
        return *model;
    }
    Sockets sockets() const { return {model->dhcpSocket().isOpen(), model->proxy().isListening()}; }
    bool working() const {
        return model->buttonCaption() == QLatin1String(GatewayShell::kWorkingCaption) &&
               !model->buttonEnabled();
    }
    bool armed() const {
        return model->buttonCaption() == QLatin1String(GatewayShell::kStartCaption) &&
               model->buttonEnabled();
    }
    int navigations() const { return static_cast<int>(pageLoader.navigations.size()); }
    // The exit code of the one unload so far, -1 when there was none.
    int exitCode() const { return unloads->count() == 1 ? unloads->at(0).at(0).toInt() : -1; }

    QTemporaryDir dir;
    GatewayEndpoints endpoints;
    FakeMessageBox messages;
    FakeNotifyArea notifyArea;
    FakeClock clock;
    FakePageLoader pageLoader;
    std::unique_ptr<GatewayShell> model;
    std::unique_ptr<QSignalSpy> unloads;
};

} // namespace

TEST_F(GatewayShellTest, StoredLoginStartsTheGatewayAtLoad) {
    storeLogin(QStringLiteral("pa=ss"));
    GatewayShell& m = load();
    EXPECT_EQ(m.providerText(), QStringLiteral("op42"));
    EXPECT_EQ(m.pwdText(), QStringLiteral("pa=ss"));
    EXPECT_TRUE(working());
    EXPECT_EQ(sockets(), kRunning);
    EXPECT_EQ(m.housekeepingTimer().interval(), 2500);
    ASSERT_EQ(navigations(), 1);
    EXPECT_EQ(pageLoader.navigations[0].query(QUrl::FullyEncoded),
              QStringLiteral("id=op42&pwd=pa%3Dss&ver=1.0.66"));
    EXPECT_TRUE(m.providerPage().reloadTimer().isActive());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(GatewayShellTest, WithoutSettingsOnlyAnIdStartsTheGateway) {
    GatewayShell& m = load();
    EXPECT_TRUE(armed());
    EXPECT_TRUE(notifyArea.added);

    m.setPwdText(QStringLiteral("secret")); // an empty id touches nothing
    m.startGateway();
    EXPECT_TRUE(armed());
    EXPECT_EQ(sockets(), kStopped);
    EXPECT_EQ(stored("ProviderPWD"), QStringLiteral("<none>"));
    EXPECT_EQ(navigations(), 2);

    m.setPwdText(QString()); // an id with an empty password starts
    m.setProviderText(QStringLiteral("op42"));
    m.startGateway();
    EXPECT_TRUE(working());
    EXPECT_EQ(stored("ProviderID"), QStringLiteral("op42"));
    EXPECT_EQ(stored("ProviderPWD"), QString());
}

// The two Setup choices live in the settings file; serving devices without proxy settings is
// on until the operator switches it off.
TEST_F(GatewayShellTest, SetupChoicesAreKeptAndAutoHideTakesEffectAtTheNextStart) {
    GatewayShell& m = load();
    EXPECT_TRUE(m.transparentChecked());
    m.toggleTransparentAccess();
    EXPECT_FALSE(m.transparentChecked());
    m.toggleAutoHide();
    EXPECT_TRUE(m.autoHideChecked());
    EXPECT_EQ(m.visibility(), Visibility::Shown);
    m.quit();
    EXPECT_EQ(stored("AutoHide"), QStringLiteral("1"));
    EXPECT_EQ(stored("TransparentAccess"), QStringLiteral("0"));

    GatewayShell& next = load();
    EXPECT_EQ(next.visibility(), Visibility::Hidden);
    EXPECT_FALSE(next.transparentChecked());
    next.toggleAutoHide();
    EXPECT_EQ(next.visibility(), Visibility::Hidden);
    next.quit();
    EXPECT_EQ(stored("AutoHide"), QString());
}

TEST_F(GatewayShellTest, EditWhileWorkingRearmsSecondStartTouchesNoSocketExitAsks) {
    storeLogin(QStringLiteral("old"));
    GatewayShell& m = load();
    ASSERT_TRUE(working());
    const quint16 dhcpPort = m.dhcpSocket().localPort();

    m.setPwdText(QStringLiteral("oldx"));
    EXPECT_TRUE(armed());
    EXPECT_EQ(sockets(), kRunning);
    EXPECT_TRUE(m.housekeepingTimer().isActive());

    m.startGateway();
    EXPECT_TRUE(working());
    EXPECT_EQ(m.dhcpSocket().localPort(), dhcpPort);
    EXPECT_EQ(sockets(), kRunning);
    EXPECT_EQ(stored("ProviderPWD"), QStringLiteral("oldx"));
    EXPECT_EQ(navigations(), 2);

    m.setPwdText(QStringLiteral("typed"));
    m.askToExit();
    ASSERT_EQ(messages.shown.size(), 1u);
    messages.answerLast(true);
    EXPECT_TRUE(m.isUnloaded());
    EXPECT_EQ(exitCode(), 0);
    EXPECT_FALSE(notifyArea.added);
    EXPECT_EQ(sockets(), kStopped);
    EXPECT_EQ(stored("ProviderPWD"), QStringLiteral("typed"));
}

// An ID typed too long for the captive-portal address the clients are given stops the running
// gateway. Which addresses are refused, an http one among them, the address tables say.
TEST_F(GatewayShellTest, ACaptivePortalUrlTheClientsCannotBeGivenStopsTheGateway) {
    qputenv("TARNIX_CAPPORT_URL", "https://provider.example/capport-api?id={id}&mac={mac}");
    storeLogin(QStringLiteral("pw"));
    GatewayShell& m = load();
    ASSERT_TRUE(working());
    m.setProviderText(QString(200, QLatin1Char('x')));
    m.startGateway();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_TRUE(messages.shown[0].text.contains(QStringLiteral("a DHCP reply takes at most 233")));
    EXPECT_EQ(sockets(), kRunning);
    m.startGateway(); // a click while the message is up adds nothing
    EXPECT_EQ(messages.shown.size(), 1u);
    messages.answerLast(true);
    EXPECT_EQ(exitCode(), 1);
    EXPECT_EQ(sockets(), kStopped);
}

// The housekeeping tick's counters.
TEST_F(GatewayShellTest, CountersShownAtTheHousekeepingTick) {
    GatewayShell& m = load();
    EXPECT_EQ(m.counters().upTotal, QString()); // nothing shown before the first tick
    for (const char* mac : {"020000000001", "020000000002", "020000000003"})
        m.registry().RegisterClient(QByteArray::fromHex(mac));
    m.proxy().purchaseCount = 2;
    m.proxy().upMegabytes = 1024 / 1024000.0; // kilobytes below one megabyte
    m.proxy().downMegabytes = 2.25;
    m.housekeeping();
    EXPECT_EQ(m.counters().clients, QStringLiteral("3"));
    EXPECT_EQ(m.counters().purchases, QStringLiteral("2"));
    EXPECT_EQ(m.counters().upTotal, QStringLiteral("1.0 Kb"));
    EXPECT_EQ(m.counters().downTotal, QStringLiteral("2.3 Mb"));
}
