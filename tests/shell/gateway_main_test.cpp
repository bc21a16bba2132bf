// The window model's start-up, gateway start, re-arming, exit and hiding rules, with real
// sockets on loopback and a settings file of the test's own.

#include "shell/gateway_main.h"
#include "shell/save_ini.h"
#include "support/fake_clock.h"
#include "support/fake_message_box.h"
#include "support/fake_notify_area.h"
#include "support/fake_page_loader.h"
#include "support/wait.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

const QString kIni = QStringLiteral("Tarnix.ini");
const QString kSetup = QStringLiteral("Setup");

class GatewayMainTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        iniPath = dir.filePath(kIni);
        qputenv("TARNIX_INI", iniPath.toUtf8());
        endpoints.gatewayAddress = QByteArray("\x7F\x00\x00\x01", 4); // 127.0.0.1
        // Any free port: a port found free and then bound later may be taken by another test
        // running at the same time.
        endpoints.dhcpPort = 0;
        endpoints.proxyPort = 0;
    }
    void TearDown() override { qunsetenv("TARNIX_INI"); }

    void store(const QString& key, const QString& value) {
        ASSERT_TRUE(WriteINI(kSetup, key, value, kIni));
    }
    QString stored(const QString& key) {
        return ReadINI(kSetup, key, QStringLiteral("<none>"), kIni);
    }

    WFGatewayMain& load() {
        model = std::make_unique<WFGatewayMain>(
            WFGatewayMain::Services{messages, notifyArea, clock, pageLoader}, endpoints);
        pageLoader.navigations.clear();
        unloads = std::make_unique<QSignalSpy>(model.get(), &WFGatewayMain::unloaded);
        model->Form_Load();
        return *model;
    }

    bool working() const {
        return model->buttonCaption() == QLatin1String(WFGatewayMain::kWorkingCaption) &&
               !model->buttonEnabled();
    }
    bool armed() const {
        return model->buttonCaption() == QLatin1String(WFGatewayMain::kStartCaption) &&
               model->buttonEnabled();
    }

    QTemporaryDir dir;
    QString iniPath;
    GatewayEndpoints endpoints;
    FakeMessageBox messages;
    FakeNotifyArea notifyArea;
    FakeClock clock;
    FakePageLoader pageLoader;
    std::unique_ptr<WFGatewayMain> model;
    std::unique_ptr<QSignalSpy> unloads;
};

const QString kStartFailure =
    QStringLiteral("Before running Tarnix Gateway, you need to\r\n"
                   "setup your hardware to agree with Tarnix's basic requirements.\r\n\r\n"
                   "Go to www.tarnix.example and read the Hardware Configuration section.");

} // namespace

TEST_F(GatewayMainTest, StoredLoginStartsTheGatewayAtLoad) {
    store(QStringLiteral("ProviderID"), QStringLiteral("op42"));
    store(QStringLiteral("ProviderPWD"), QStringLiteral("pa=ss"));
    WFGatewayMain& m = load();

    EXPECT_EQ(m.providerText(), QStringLiteral("op42"));
    EXPECT_EQ(m.pwdText(), QStringLiteral("pa=ss"));
    EXPECT_TRUE(working());
    EXPECT_EQ(m.DHCP()(0).State(), sckOpen);
    EXPECT_EQ(m.HTTPRequest()(0).State(), sckListening);
    EXPECT_TRUE(m.Timer1().isActive());
    EXPECT_EQ(m.Timer1().interval(), 2500);
    ASSERT_EQ(int(pageLoader.navigations.size()), 1);
    EXPECT_EQ(pageLoader.navigations[0].query(QUrl::FullyEncoded),
              QStringLiteral("id=op42&pwd=pa%3Dss&ver=1.0.66"));
    EXPECT_TRUE(m.providerPage().Timer2().isActive());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(m.GatewayAddress, endpoints.gatewayAddress);
    EXPECT_EQ(m.BroadcastHost, QStringLiteral("255.255.255.255"));
}

TEST_F(GatewayMainTest, IdWithoutPasswordDoesNotStartButLoadsThePageOnce) {
    store(QStringLiteral("ProviderID"), QStringLiteral("op42"));
    WFGatewayMain& m = load();

    EXPECT_TRUE(armed());
    EXPECT_EQ(m.DHCP()(0).State(), sckClosed);
    EXPECT_EQ(m.HTTPRequest()(0).State(), sckClosed);
    EXPECT_FALSE(m.Timer1().isActive());
    EXPECT_EQ(int(pageLoader.navigations.size()), 1);
}

TEST_F(GatewayMainTest, MissingSettingsFileGivesEmptyBoxesAndNoStart) {
    WFGatewayMain& m = load();
    EXPECT_TRUE(m.providerText().isEmpty());
    EXPECT_TRUE(m.pwdText().isEmpty());
    EXPECT_TRUE(armed());
    EXPECT_EQ(m.visibility(), WFGatewayMain::Visibility::Shown);
    EXPECT_FALSE(m.autoHideChecked());
    EXPECT_TRUE(notifyArea.added);
    EXPECT_EQ(notifyArea.tip, QStringLiteral("Tarnix Gateway"));
}

TEST_F(GatewayMainTest, AnyNonEmptyAutoHideValueHidesAtLoad) {
    struct Row {
        const char* name;
        std::optional<QString> value;
        bool trayAvailable;
        WFGatewayMain::Visibility expected;
    };
    const Row rows[] = {
        {"missing key leaves the window shown", std::nullopt, true,
         WFGatewayMain::Visibility::Shown},
        {"empty value leaves the window shown", QString(""), true,
         WFGatewayMain::Visibility::Shown},
        {"value 0 hides all the same", QStringLiteral("0"), true,
         WFGatewayMain::Visibility::Hidden},
        {"value 1 hides", QStringLiteral("1"), true, WFGatewayMain::Visibility::Hidden},
        {"without a notification area the window is minimised instead", QStringLiteral("1"), false,
         WFGatewayMain::Visibility::Minimised},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(iniPath);
        if (row.value)
            store(QStringLiteral("AutoHide"), *row.value);
        notifyArea.available = row.trayAvailable;
        WFGatewayMain& m = load();
        EXPECT_EQ(m.visibility(), row.expected);
        EXPECT_EQ(m.autoHideChecked(), row.expected != WFGatewayMain::Visibility::Shown);
    }
}

TEST_F(GatewayMainTest, EditWhileWorkingRearmsAndSecondStartTouchesNoSocket) {
    store(QStringLiteral("ProviderID"), QStringLiteral("op42"));
    store(QStringLiteral("ProviderPWD"), QStringLiteral("old"));
    WFGatewayMain& m = load();
    ASSERT_TRUE(working());
    UdpSocketControl* dhcp = &m.DHCP()(0);

    m.setPwdText(QStringLiteral("oldx"));
    EXPECT_TRUE(armed());
    EXPECT_EQ(m.DHCP()(0).State(), sckOpen);
    EXPECT_EQ(m.HTTPRequest()(0).State(), sckListening);
    EXPECT_TRUE(m.Timer1().isActive());

    m.ProviderBt_Click();
    EXPECT_TRUE(working());
    EXPECT_EQ(&m.DHCP()(0), dhcp);
    EXPECT_EQ(m.DHCP()(0).State(), sckOpen);
    EXPECT_EQ(m.HTTPRequest()(0).State(), sckListening);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(stored(QStringLiteral("ProviderPWD")), QStringLiteral("oldx"));
    EXPECT_EQ(int(pageLoader.navigations.size()), 2);
}

TEST_F(GatewayMainTest, StartWithEmptyIdTouchesNothing) {
    WFGatewayMain& m = load();
    m.setPwdText(QStringLiteral("secret"));
    m.ProviderBt_Click();
    EXPECT_TRUE(armed());
    EXPECT_EQ(m.DHCP()(0).State(), sckClosed);
    EXPECT_EQ(m.HTTPRequest()(0).State(), sckClosed);
    EXPECT_EQ(stored(QStringLiteral("ProviderPWD")), QStringLiteral("<none>"));
    EXPECT_EQ(int(pageLoader.navigations.size()), 2);
}

TEST_F(GatewayMainTest, IdWithEmptyPasswordStartsFromTheButton) {
    WFGatewayMain& m = load();
    m.setProviderText(QStringLiteral("op42"));
    m.ProviderBt_Click();
    EXPECT_TRUE(working());
    EXPECT_EQ(stored(QStringLiteral("ProviderID")), QStringLiteral("op42"));
    EXPECT_EQ(stored(QStringLiteral("ProviderPWD")), QString());
}

TEST_F(GatewayMainTest, ExitQuestionCancelKeepsRunningAndOkUnloads) {
    store(QStringLiteral("ProviderID"), QStringLiteral("op42"));
    store(QStringLiteral("ProviderPWD"), QStringLiteral("pw"));
    WFGatewayMain& m = load();

    m.mnExit_Click();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].title, QStringLiteral("Exit"));
    EXPECT_EQ(messages.shown[0].text,
              QStringLiteral("Exiting this application will stop\r\n"
                             "the proxy which is serving your clients.\r\n\r\n"
                             "Are you sure you want to finish this application?"));
    messages.answerLast(false);
    EXPECT_FALSE(m.isUnloaded());
    EXPECT_EQ(m.HTTPRequest()(0).State(), sckListening);
    EXPECT_TRUE(notifyArea.added);

    m.setPwdText(QStringLiteral("typed"));
    m.mnAutoHide_Click();
    m.mnExit_Click();
    messages.answerLast(true);
    EXPECT_TRUE(m.isUnloaded());
    ASSERT_EQ(unloads->count(), 1);
    EXPECT_EQ(unloads->at(0).at(0).toInt(), 0);
    EXPECT_FALSE(notifyArea.added);
    EXPECT_EQ(m.DHCP()(0).State(), sckClosed);
    EXPECT_EQ(m.HTTPRequest()(0).State(), sckClosed);
    EXPECT_FALSE(m.Timer1().isActive());
    EXPECT_EQ(stored(QStringLiteral("ProviderPWD")), QStringLiteral("typed"));
    EXPECT_EQ(stored(QStringLiteral("AutoHide")), QStringLiteral("1"));
}

TEST_F(GatewayMainTest, UncheckedAutoHideIsSavedAsAnEmptyValue) {
    store(QStringLiteral("AutoHide"), QStringLiteral("1"));
    WFGatewayMain& m = load();
    m.mnAutoHide_Click();
    EXPECT_EQ(m.visibility(), WFGatewayMain::Visibility::Hidden); // takes effect next start
    m.Form_Unload();
    EXPECT_EQ(stored(QStringLiteral("AutoHide")), QString());
}

TEST_F(GatewayMainTest, FailedBindShowsTheMessageThenEndsWithTheLoginSaved) {
    endpoints.gatewayAddress = QByteArray("\xC0\x00\x02\x4D", 4); // held by no adapter here
    WFGatewayMain& m = load();
    m.setProviderText(QStringLiteral("op42"));
    m.setPwdText(QStringLiteral("typed"));
    m.ProviderBt_Click();

    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].title, QStringLiteral("Tarnix Gateway"));
    EXPECT_EQ(messages.shown[0].text, kStartFailure);
    EXPECT_FALSE(m.isUnloaded()); // waits for the operator
    m.ProviderBt_Click();         // a second click while the message is up adds nothing
    EXPECT_EQ(messages.shown.size(), 1u);

    messages.answerLast(true);
    EXPECT_TRUE(m.isUnloaded());
    ASSERT_EQ(unloads->count(), 1);
    EXPECT_EQ(unloads->at(0).at(0).toInt(), 1);
    EXPECT_EQ(stored(QStringLiteral("ProviderID")), QStringLiteral("op42"));
    EXPECT_EQ(stored(QStringLiteral("ProviderPWD")), QStringLiteral("typed"));
}

TEST_F(GatewayMainTest, FailedListenClosesTheBoundAddressSocketAtUnload) {
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::AnyIPv4, 0));
    endpoints.proxyPort = taken.serverPort();
    store(QStringLiteral("ProviderID"), QStringLiteral("op42"));
    store(QStringLiteral("ProviderPWD"), QStringLiteral("pw"));
    WFGatewayMain& m = load();

    EXPECT_EQ(m.DHCP()(0).State(), sckOpen);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, kStartFailure);
    messages.answerLast(true);
    EXPECT_EQ(m.DHCP()(0).State(), sckClosed);
    EXPECT_EQ(unloads->at(0).at(0).toInt(), 1);
}

TEST_F(GatewayMainTest, UnwritableSettingsAreToldOnceAtStart) {
    QFile blocker(dir.filePath(QStringLiteral("not-a-dir")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("TARNIX_INI", dir.filePath(QStringLiteral("not-a-dir/Tarnix.ini")).toUtf8());
    WFGatewayMain& m = load();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_TRUE(messages.shown[0].text.contains(QStringLiteral("cannot be written")));
    m.setProviderText(QStringLiteral("op42"));
    m.Form_Unload();
    EXPECT_EQ(messages.shown.size(), 1u);
}

TEST_F(GatewayMainTest, NotificationIconBringsTheHiddenWindowBack) {
    WFGatewayMain& m = load();
    QSignalSpy shown(&m, &WFGatewayMain::visibilityChanged);

    notifyArea.click(NotifyArea::kLeftDoubleClick); // while shown: stays shown
    EXPECT_EQ(m.visibility(), WFGatewayMain::Visibility::Shown);

    m.mnHide_Click();
    EXPECT_EQ(m.visibility(), WFGatewayMain::Visibility::Hidden);
    notifyArea.click(NotifyArea::kRightButtonUp);
    notifyArea.click(NotifyArea::kLeftButtonUp);
    EXPECT_EQ(m.visibility(), WFGatewayMain::Visibility::Hidden);
    notifyArea.click(NotifyArea::kLeftDoubleClick);
    EXPECT_EQ(m.visibility(), WFGatewayMain::Visibility::Shown);
    EXPECT_TRUE(notifyArea.added);

    notifyArea.available = false;
    m.mnHide_Click();
    EXPECT_EQ(m.visibility(), WFGatewayMain::Visibility::Minimised);
}

TEST_F(GatewayMainTest, CheckingAutoHideDoesNotHideNow) {
    WFGatewayMain& m = load();
    m.mnAutoHide_Click();
    EXPECT_TRUE(m.autoHideChecked());
    EXPECT_EQ(m.visibility(), WFGatewayMain::Visibility::Shown);
    m.Form_Unload();

    WFGatewayMain& next = load();
    EXPECT_EQ(next.visibility(), WFGatewayMain::Visibility::Hidden);
}

TEST(ByteTotalText, KilobytesBelowOneMegabyteAndMegabytesFromOne) {
    struct Row {
        double megabytes;
        const char* text;
    };
    const Row rows[] = {{0, "0.0 Kb"}, {0.9999, "999.9 Kb"}, {1.0, "1.0 Mb"}, {2.25, "2.3 Mb"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(WFGatewayMain::byteTotalText(row.megabytes), QString::fromLatin1(row.text));
    }
}

TEST_F(GatewayMainTest, HousekeepingTickRefreshesTheCurrentNumbers) {
    WFGatewayMain& m = load();
    const WFGatewayMain::Counters before = m.counters();
    EXPECT_EQ(before.NumberOfClients, QStringLiteral("0"));
    EXPECT_EQ(before.TotUP, QString()); // nothing shown before the first tick

    for (const char* mac : {"02 00 00 00 00 01 ", "02 00 00 00 00 02 ", "02 00 00 00 00 03 "})
        m.registry().RegisterClient(QString::fromLatin1(mac));
    m.proxy().PurchaseCount = 2;
    m.proxy().UpMegabytes = 1024 / 1024000.0;
    m.Timer1_Timer();
    EXPECT_EQ(m.counters().NumberOfClients, QStringLiteral("3"));
    EXPECT_EQ(m.counters().PurCounter, QStringLiteral("2"));
    EXPECT_EQ(m.counters().NumberofSocks, QStringLiteral("0"));
    EXPECT_EQ(m.counters().TotUP, QStringLiteral("1.0 Kb"));
    EXPECT_EQ(m.counters().TotDown, QStringLiteral("0.0 Kb"));
}
