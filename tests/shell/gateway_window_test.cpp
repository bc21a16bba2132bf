// The operator window drawn offscreen: positions from the layout table, captions, menus and
// their shortcuts, and that the window follows its model. Writes main-window.png for a person
// to hold against the layout.

#include "shell/view/gateway_window.h"
#include "support/fake_clock.h"
#include "support/fake_message_box.h"
#include "support/fake_notify_area.h"
#include "support/fake_page_loader.h"

#include <QAction>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace {

class GatewayWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("TARNIX_INI", dir.filePath(QStringLiteral("Tarnix.ini")).toUtf8());
        model.startUp();
    }
    void TearDown() override { qunsetenv("TARNIX_INI"); }

    template <class T> T* child(const char* name) {
        return window.findChild<T*>(QString::fromLatin1(name));
    }

    QTemporaryDir dir;
    FakeMessageBox messages;
    FakeNotifyArea notifyArea;
    FakeClock clock;
    FakePageLoader pageLoader;
    GatewayShell model{GatewayShell::Services{messages, notifyArea, clock, pageLoader}};
    GatewayWindow window{model};
};

} // namespace

TEST_F(GatewayWindowTest, ControlsStandWhereTheLayoutPutsThemWithTheirCaptions) {
    const struct {
        const char* name;
        QRect pixels; // twips / 15
    } rows[] = {
        {"Frame3", {0, 104, 161, 105}},   {"Provider", {64, 16, 89, 24}},
        {"Pwd", {64, 44, 89, 24}},        {"ProviderBt", {8, 72, 145, 25}},
        {"Frame2", {0, 216, 161, 201}},   {"NumberOfClients", {64, 24, 89, 17}},
        {"PurCounter", {64, 48, 89, 17}}, {"NumberofSocks", {64, 72, 89, 17}},
        {"TotUP", {64, 96, 89, 17}},      {"TotDown", {64, 120, 89, 17}},
        {"Frame1", {168, 104, 377, 313}}, {"TV", {8, 16, 361, 289}},
        {"EK", {0, 0, 563, 97}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QWidget* widget = child<QWidget>(row.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), row.pixels);
    }
    EXPECT_EQ(window.centralWidget()->size(), QSize(545, 418));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Tarnix - Gateway"));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());

    EXPECT_EQ(child<QGroupBox>("Frame3")->title(), QStringLiteral("Provider Login"));
    EXPECT_EQ(child<QGroupBox>("Frame2")->title(), QStringLiteral("Current Numbers"));
    EXPECT_EQ(child<QGroupBox>("Frame1")->title(), QStringLiteral("Active Clients"));
    EXPECT_EQ(child<QPushButton>("ProviderBt")->text(), QStringLiteral("Start the Gateway"));
    EXPECT_TRUE(child<QPushButton>("ProviderBt")->font().bold());
    EXPECT_EQ(child<QLineEdit>("Pwd")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(child<QLabel>("NumberOfClients")->text(), QStringLiteral("0"));
    EXPECT_EQ(child<QLabel>("TotUP")->text(), QString());
    EXPECT_TRUE(child<QLabel>("TotDown")->font().bold());
    EXPECT_EQ(child<QLabel>("Label7")->text(), QStringLiteral("Password:"));

    window.show();
    QDir().mkpath(QStringLiteral(TARNIX_SCREENSHOT_DIR));
    EXPECT_TRUE(window.grab().save(QStringLiteral(TARNIX_SCREENSHOT_DIR "/main-window.png")));
}

TEST_F(GatewayWindowTest, MenusCarryTheirAccessLettersAndShortcuts) {
    QStringList menus;
    for (QAction* action : window.menuBar()->actions())
        menus << action->text();
    EXPECT_EQ(menus, QStringList({"&File", "&Setup", "&Help"}));
    EXPECT_EQ(child<QAction>("mnHide")->text(), QStringLiteral("Hide this &Window"));
    EXPECT_EQ(child<QAction>("mnHide")->shortcut(), QKeySequence(QStringLiteral("Ctrl+W")));
    EXPECT_EQ(child<QAction>("mnExit")->shortcut(), QKeySequence(QStringLiteral("Ctrl+X")));
    EXPECT_TRUE(child<QAction>("mnAutoHide")->isCheckable());
    EXPECT_FALSE(child<QAction>("mnAutoHide")->isChecked());
    EXPECT_EQ(child<QAction>("mnAbout")->text(), QStringLiteral("&About Tarnix Gateway"));

    child<QAction>("mnAutoHide")->trigger();
    EXPECT_TRUE(model.autoHideChecked());
    EXPECT_TRUE(child<QAction>("mnAutoHide")->isChecked());
    child<QAction>("mnExit")->trigger();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].title, QStringLiteral("Exit"));
}

TEST_F(GatewayWindowTest, TheWindowFollowsItsModelAndItsCloseControlUnloadsWithoutAsking) {
    auto* provider = child<QLineEdit>("Provider");
    provider->setFocus();
    provider->insert(QStringLiteral("op"));
    EXPECT_EQ(model.providerText(), QStringLiteral("op"));
    model.setPwdText(QStringLiteral("from-program"));
    EXPECT_EQ(child<QLineEdit>("Pwd")->text(), QStringLiteral("from-program"));

    window.show();
    window.close();
    EXPECT_TRUE(model.isUnloaded());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_FALSE(notifyArea.added);
}
