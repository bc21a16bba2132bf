#include "shell/view/legend_window.h"

#include "shell/view/app_icon.h"
#include "shell/view/legend_pictures.h"

#include <QLabel>
#include <QPushButton>

namespace {

// The window was laid out in twips; keeping the figures makes the layout easy to check.
constexpr int kTwipsPerPixel = 15;
constexpr int px(int twips) {
    return twips / kTwipsPerPixel;
}

QLabel* pictureLabel(QWidget* parent, const char* name, const QPixmap& picture, int leftTwips,
                     int topTwips) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setPixmap(picture);
    label->setGeometry(px(leftTwips), px(topTwips), picture.width(), picture.height());
    return label;
}

} // namespace

LegendWindow::LegendWindow(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("frmLegend"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Legend"));
    setWindowIcon(appIcon());
    setFixedSize(px(6465), px(3015));

    image2_ = pictureLabel(this, "Image2", legendCountersPixmap(), 240, 480);
    image1_ = pictureLabel(this, "Image1", legendTreePixmap(), 3120, 720);

    cmdOK_ = new QPushButton(QStringLiteral("OK"), this);
    cmdOK_->setObjectName(QStringLiteral("cmdOK"));
    cmdOK_->setGeometry(px(5040), px(2520), px(1260), px(345));
    cmdOK_->setDefault(true);
    connect(cmdOK_, &QPushButton::clicked, this, &QWidget::close);
}
