// The operator window and its dialogs drawn offscreen: the window follows its model, the menus
// reach it, the dialogs close on OK.

#include "shell/view/about_window.h"
#include "shell/view/gateway_window.h"
#include "shell/view/image_list.h"
#include "shell/view/legend_window.h"
#include "support/fake_clock.h"
#include "support/fake_message_box.h"
#include "support/fake_notify_area.h"
#include "support/fake_page_loader.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
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

TEST_F(GatewayWindowTest, TheWindowFollowsItsModelAndItsMenusReachIt) {
    auto* provider = child<QLineEdit>("Provider");
    provider->setFocus();
    provider->insert(QStringLiteral("op"));
    EXPECT_EQ(model.providerText(), QStringLiteral("op"));
    model.setPwdText(QStringLiteral("from-program"));
    EXPECT_EQ(child<QLineEdit>("Pwd")->text(), QStringLiteral("from-program"));
    EXPECT_EQ(child<QLineEdit>("Pwd")->echoMode(), QLineEdit::Password);
    child<QAction>("mnAutoHide")->trigger();
    EXPECT_TRUE(model.autoHideChecked() && child<QAction>("mnAutoHide")->isChecked());

    child<QAction>("mnExit")->trigger(); // asks first
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_FALSE(model.isUnloaded());
    window.show();
    window.close(); // the close control unloads without asking
    EXPECT_TRUE(model.isUnloaded());
    EXPECT_EQ(messages.shown.size(), 1u);
    EXPECT_FALSE(notifyArea.added);
}

// The dialogs close and go on OK; each window is saved for the README's screenshots.
TEST_F(GatewayWindowTest, DialogsCloseOnOkAndTheWindowsAreSaved) {
    const QString shots = QStringLiteral(TARNIX_SCREENSHOT_DIR "/");
    ASSERT_TRUE(QDir().mkpath(shots));
    const int side = kImgLstSize * 4;
    QPixmap strip(kImgLstCount * side, side);
    strip.fill(Qt::white);
    QPainter painter(&strip);
    for (int number = 1; number <= kImgLstCount; ++number)
        painter.drawPixmap((number - 1) * side, 0, side, side, imgLstPixmap(number));
    painter.end();
    EXPECT_TRUE(strip.save(shots + QStringLiteral("imglst.png")));
    window.show();
    EXPECT_TRUE(window.grab().save(shots + QStringLiteral("main-window.png")));
    const std::pair<QPointer<QDialog>, const char*> dialogs[] = {
        {new AboutWindow, "about-window.png"}, {new LegendWindow, "legend-window.png"}};
    for (auto [dialog, name] : dialogs) {
        SCOPED_TRACE(name);
        dialog->show();
        EXPECT_TRUE(dialog->grab().save(shots + QLatin1String(name)));
        dialog->findChild<QPushButton*>(QStringLiteral("cmdOK"))->click();
        EXPECT_FALSE(dialog->isVisible());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(dialog.isNull());
        delete dialog.data();
    }
}
