// The About and Legend windows, the pictures of the client tree and of the legend. Each
// window and picture is also saved as a PNG so its look can be checked by eye.

#include "common/app_info.h"
#include "shell/view/about_window.h"
#include "shell/view/app_icon.h"
#include "shell/view/image_list.h"
#include "shell/view/legend_pictures.h"
#include "shell/view/legend_window.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <climits>
#include <functional>
#include <gtest/gtest.h>

namespace {

QString screenshotPath(const char* fileName) {
    const QString dir = QStringLiteral(TARNIX_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    return dir + QLatin1Char('/') + QLatin1String(fileName);
}

QImage argb(const QPixmap& pixmap) {
    return pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
}

int countPixels(const QImage& image, const std::function<bool(QRgb)>& match) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += match(image.pixel(x, y)) ? 1 : 0;
    return count;
}
int pixelsOfColour(const QImage& image, QRgb colour) {
    return countPixels(image, [colour](QRgb p) { return p == colour; });
}

template <typename Child> Child* named(QWidget& window, const char* name) {
    return window.findChild<Child*>(QString::fromLatin1(name));
}

// A fixed dialog: no resizing, no minimise or maximise button.
void expectFixedDialog(const QDialog& window) {
    const Qt::WindowFlags flags = window.windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Dialog);
    EXPECT_TRUE(flags.testFlag(Qt::MSWindowsFixedSizeDialogHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_TRUE(window.testAttribute(Qt::WA_DeleteOnClose));
}

} // namespace

TEST(ImgLstTest, NumbersOneToSixAreDistinctVisible16x16PicturesAndOthersNone) {
    std::vector<QImage> pictures;
    for (int number = 1; number <= kImgLstCount; ++number) {
        SCOPED_TRACE(number);
        const QPixmap picture = imgLstPixmap(number);
        ASSERT_FALSE(picture.isNull());
        EXPECT_EQ(picture.size(), QSize(16, 16));
        // Something is drawn, yet the picture is not a filled square.
        const int opaque = countPixels(argb(picture), [](QRgb p) { return qAlpha(p) > 0; });
        EXPECT_GT(opaque, 30);
        EXPECT_LT(opaque, 16 * 16);
        EXPECT_EQ(argb(imgLstPixmap(number)), argb(picture)) << "the same every time";
        EXPECT_EQ(argb(ImgLst(number).pixmap(QSize(16, 16))), argb(picture)) << "icon";
        for (size_t other = 0; other < pictures.size(); ++other)
            EXPECT_NE(pictures[other], argb(picture)) << "same as " << other + 1;
        pictures.push_back(argb(picture));
    }
    for (int number : {0, kImgLstCount + 1, -1, INT_MAX}) {
        SCOPED_TRACE(number);
        EXPECT_TRUE(imgLstPixmap(number).isNull());
        EXPECT_TRUE(ImgLst(number).isNull());
    }
}

TEST(DialogsLegendPictures, HaveTheLegendSizesAndColours) {
    EXPECT_EQ(legendCountersPixmap().size(), QSize(149, 119));
    EXPECT_EQ(legendTreePixmap().size(), QSize(214, 91));
    const QImage counters = argb(legendCountersPixmap());
    EXPECT_GT(pixelsOfColour(counters, qRgb(0xC0, 0xC0, 0xC0)), 1000);
    EXPECT_GT(pixelsOfColour(counters, qRgb(0x00, 0x80, 0x00)), 50);
    // Each node picture leaves its own colours; the check mark is not part of the legend.
    const QImage tree = argb(legendTreePixmap());
    EXPECT_GT(pixelsOfColour(tree, qRgb(0xe0, 0xb0, 0x30)), 0); // adapter contacts
    EXPECT_GT(pixelsOfColour(tree, qRgb(0x1a, 0x40, 0x88)), 0); // computer's network line
    EXPECT_GT(pixelsOfColour(tree, qRgb(0xff, 0xff, 0xff)), 214 * 91 / 2);
}

TEST(DialogsLegend, FixedDialogWithThePicturesWhereTheTwipsPutThem) {
    LegendWindow window;
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Legend"));
    EXPECT_EQ(window.size(), QSize(431, 201));
    expectFixedDialog(window);
    const struct {
        const char* name;
        QRect geometry;
        QPixmap picture; // null for the button
    } rows[] = {
        {"Image2", QRect(16, 32, 149, 119), legendCountersPixmap()},
        {"Image1", QRect(208, 48, 214, 91), legendTreePixmap()},
        {"cmdOK", QRect(336, 168, 84, 23), QPixmap()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QWidget* control = named<QWidget>(window, row.name);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->geometry(), row.geometry);
        EXPECT_TRUE(window.rect().contains(control->geometry()));
        if (auto* label = qobject_cast<QLabel*>(control)) {
            EXPECT_EQ(argb(label->pixmap()), argb(row.picture));
        }
    }
    EXPECT_EQ(named<QPushButton>(window, "cmdOK")->text(), QStringLiteral("OK"));
}

TEST(DialogsAbout, FixedDialogWithTitleVersionDescriptionAndEmblem) {
    AboutWindow window;
    EXPECT_EQ(window.windowTitle(), QStringLiteral("About Tarnix Gateway"));
    expectFixedDialog(window);
    EXPECT_GE(window.width(), 300);
    EXPECT_GE(window.height(), 200);
    const struct {
        const char* name;
        QString text;
    } rows[] = {
        {"lblTitle", QStringLiteral("Tarnix Gateway")},
        {"lblVersion", QStringLiteral("Version 1.0.66")},
        {"lblDescription",
         QStringLiteral("Thank you for using Tarnix Gateway. If you have any question related to "
                        "this product feel free to contact us usind the form provided in our "
                        "website: www.tarnix.example")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QLabel* label = named<QLabel>(window, row.name);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), row.text);
    }
    EXPECT_EQ(named<QLabel>(window, "lblVersion")->text(), QStringLiteral("Version %1.%2.%3")
                                                               .arg(AppInfo::kVersionMajor)
                                                               .arg(AppInfo::kVersionMinor)
                                                               .arg(AppInfo::kVersionRevision));
    QLabel* disclaimer = named<QLabel>(window, "lblDisclaimer");
    ASSERT_NE(disclaimer, nullptr);
    EXPECT_TRUE(disclaimer->text().startsWith(QStringLiteral("Tarnix Gateway")));
    const QFont title = named<QLabel>(window, "lblTitle")->font();
    EXPECT_TRUE(title.bold());
    EXPECT_GT(title.pointSizeF(), named<QLabel>(window, "lblVersion")->font().pointSizeF());

    QLabel* icon = named<QLabel>(window, "picIcon");
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->geometry(), QRect(12, 12, 32, 32));
    EXPECT_EQ(argb(icon->pixmap()), argb(appPixmap()));
    EXPECT_EQ(appPixmap().size(), QSize(32, 32));
}

TEST(DialogsAbout, TextsFitTheirLabels) {
    AboutWindow window;
    window.show();
    for (const char* name : {"lblTitle", "lblVersion", "lblDescription", "lblDisclaimer"}) {
        SCOPED_TRACE(name);
        QLabel* label = named<QLabel>(window, name);
        ASSERT_NE(label, nullptr);
        EXPECT_TRUE(window.rect().contains(label->geometry()));
        if (label->wordWrap()) {
            EXPECT_LE(label->heightForWidth(label->width()), label->height());
        } else {
            EXPECT_LE(label->sizeHint().width(), label->width());
            EXPECT_LE(label->sizeHint().height(), label->height());
        }
    }
    // The etched separator: a grey line with a white one just below.
    QWidget* shadow = named<QWidget>(window, "linEtchShadow");
    QWidget* highlight = named<QWidget>(window, "linEtchHighlight");
    ASSERT_NE(shadow, nullptr);
    ASSERT_NE(highlight, nullptr);
    EXPECT_EQ(highlight->y(), shadow->y() + 1);
    EXPECT_LT(shadow->y(), named<QLabel>(window, "lblDisclaimer")->y());
    EXPECT_GT(shadow->y(), named<QLabel>(window, "lblDescription")->geometry().bottom());
}

TEST(DialogsOkButton, ClosesAndDeletesTheWindow) {
    for (QPointer<QDialog> window :
         {QPointer<QDialog>(new LegendWindow), QPointer<QDialog>(new AboutWindow)}) {
        SCOPED_TRACE(window->windowTitle().toStdString());
        window->show();
        ASSERT_TRUE(window->isVisible());
        QPushButton* ok = named<QPushButton>(*window, "cmdOK");
        ASSERT_NE(ok, nullptr);
        EXPECT_TRUE(ok->isDefault());
        ok->click();
        ASSERT_FALSE(window.isNull());
        EXPECT_FALSE(window->isVisible());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(window.isNull());
        delete window.data();
    }
}

TEST(DialogsScreenshots, WindowsAndPicturesRenderToPng) {
    LegendWindow legend;
    legend.show();
    EXPECT_TRUE(legend.grab().save(screenshotPath("legend-window.png")));
    AboutWindow about;
    about.show();
    EXPECT_TRUE(about.grab().save(screenshotPath("about-window.png")));

    constexpr int kZoom = 4;
    const auto zoomed = [](const QPixmap& p) {
        return p.scaled(p.size() * kZoom, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    };
    QPixmap strip(kImgLstCount * kImgLstSize * kZoom, kImgLstSize * kZoom);
    strip.fill(Qt::white);
    {
        QPainter painter(&strip);
        for (int number = 1; number <= kImgLstCount; ++number)
            painter.drawPixmap((number - 1) * kImgLstSize * kZoom, 0, zoomed(imgLstPixmap(number)));
    }
    EXPECT_TRUE(strip.save(screenshotPath("imglst.png")));
    EXPECT_TRUE(legendCountersPixmap().save(screenshotPath("legend-image2.png")));
    EXPECT_TRUE(legendTreePixmap().save(screenshotPath("legend-image1.png")));
    EXPECT_TRUE(zoomed(appPixmap()).save(screenshotPath("app-icon.png")));
}
