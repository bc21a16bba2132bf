// The operator window and its dialogs drawn offscreen: the window follows its model, the menus
// reach it, the dialogs close on OK. The windows are saved into build/screenshots for a person
// to look at.

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

TEST_F(GatewayWindowTest, TheWindowFollowsItsModelAndItsCloseControlUnloadsWithoutAsking) {
    auto* provider = child<QLineEdit>("Provider");
    provider->setFocus();
    provider->insert(QStringLiteral("op"));
    EXPECT_EQ(model.providerText(), QStringLiteral("op"));
    model.setPwdText(QStringLiteral("from-program"));
    EXPECT_EQ(child<QLineEdit>("Pwd")->text(), QStringLiteral("from-program"));
    EXPECT_EQ(child<QLineEdit>("Pwd")->echoMode(), QLineEdit::Password);

    child<QAction>("mnAutoHide")->trigger();
    EXPECT_TRUE(model.autoHideChecked());
    EXPECT_TRUE(child<QAction>("mnAutoHide")->isChecked());

    window.show();
    window.close();
    EXPECT_TRUE(model.isUnloaded());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_FALSE(notifyArea.added);
}

TEST_F(GatewayWindowTest, ExitFromTheMenuAsksFirst) {
    child<QAction>("mnExit")->trigger();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].title, QStringLiteral("Exit"));
    EXPECT_FALSE(model.isUnloaded());
}

TEST(Dialogs, OkClosesAndDeletesTheWindow) {
    for (QPointer<QDialog> dialog :
         {QPointer<QDialog>(new LegendWindow), QPointer<QDialog>(new AboutWindow)}) {
        SCOPED_TRACE(dialog->windowTitle().toStdString());
        dialog->show();
        dialog->findChild<QPushButton*>(QStringLiteral("cmdOK"))->click();
        EXPECT_FALSE(dialog->isVisible());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(dialog.isNull());
        delete dialog.data();
    }
}

TEST_F(GatewayWindowTest, WindowsAreDrawnIntoScreenshots) {
    const QString shots = QStringLiteral(TARNIX_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(shots));
    LegendWindow legend;
    AboutWindow about;
    QPixmap strip(kImgLstCount * kImgLstSize * 4, kImgLstSize * 4);
    strip.fill(Qt::white);
    {
        QPainter painter(&strip);
        for (int number = 1; number <= kImgLstCount; ++number)
            painter.drawPixmap((number - 1) * kImgLstSize * 4, 0, kImgLstSize * 4, kImgLstSize * 4,
                               imgLstPixmap(number));
    }
    const std::pair<QWidget*, const char*> windows[] = {
        {&window, "main-window.png"}, {&about, "about-window.png"}, {&legend, "legend-window.png"}};
    for (const auto& [shown, name] : windows) {
        shown->show();
        EXPECT_TRUE(shown->grab().save(shots + QLatin1Char('/') + QLatin1String(name)));
    }
    EXPECT_TRUE(strip.save(shots + QStringLiteral("/imglst.png")));
}
