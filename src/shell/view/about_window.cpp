#include "shell/view/about_window.h"

#include "common/app_info.h"
#include "shell/view/app_icon.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

namespace {

constexpr int kWidth = 380;
constexpr int kHeight = 260;
constexpr int kMargin = 12;
constexpr int kTextLeft = 56; // right of the 32x32 icon
constexpr int kTextWidth = kWidth - kTextLeft - kMargin;
constexpr int kSeparatorY = 176;

QLabel* textLabel(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setGeometry(geometry);
    return label;
}

// One line of the etched separator: a plain frame filled with a fixed colour, so it looks
// the same under every style.
QFrame* separatorLine(QWidget* parent, const char* name, const QColor& colour, int y) {
    auto* line = new QFrame(parent);
    line->setObjectName(QString::fromLatin1(name));
    line->setFrameShape(QFrame::NoFrame);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, colour);
    line->setPalette(palette);
    line->setGeometry(kMargin, y, kWidth - 2 * kMargin, 1);
    return line;
}

} // namespace

AboutWindow::AboutWindow(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    const QString title = QString::fromLatin1(AppInfo::kTitle);

    setObjectName(QStringLiteral("frmAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("About ") + title);
    setWindowIcon(appIcon());
    setFixedSize(kWidth, kHeight);

    picIcon_ = new QLabel(this);
    picIcon_->setObjectName(QStringLiteral("picIcon"));
    picIcon_->setPixmap(appPixmap());
    picIcon_->setGeometry(kMargin, kMargin, 32, 32);

    lblTitle_ = textLabel(this, "lblTitle", title, QRect(kTextLeft, 10, kTextWidth, 28));
    QFont titleFont = lblTitle_->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
    titleFont.setBold(true);
    lblTitle_->setFont(titleFont);

    lblVersion_ = textLabel(this, "lblVersion", QStringLiteral("Version ") + AppInfo::versionText(),
                            QRect(kTextLeft, 40, kTextWidth, 20));

    // "usind" is the product's own wording; it stays as shipped.
    lblDescription_ = textLabel(
        this, "lblDescription",
        QStringLiteral("Thank you for using ") + title +
            QStringLiteral(". If you have any question related to this product feel free to "
                           "contact us usind the form provided in our website: ") +
            QString::fromLatin1(AppInfo::kMakerSite),
        QRect(kTextLeft, 68, kTextWidth, kSeparatorY - 68 - 8));
    lblDescription_->setWordWrap(true);

    separatorLine(this, "linEtchShadow", QColor(0x80, 0x80, 0x80), kSeparatorY);
    separatorLine(this, "linEtchHighlight", Qt::white, kSeparatorY + 1);

    lblDisclaimer_ = textLabel(this, "lblDisclaimer",
                               title + QStringLiteral(" is provided as is, without warranty."),
                               QRect(kMargin, kSeparatorY + 10, kWidth - 2 * kMargin, 20));

    cmdOK_ = new QPushButton(QStringLiteral("OK"), this);
    cmdOK_->setObjectName(QStringLiteral("cmdOK"));
    cmdOK_->setGeometry(kWidth - kMargin - 84, kHeight - kMargin - 23, 84, 23);
    cmdOK_->setDefault(true);
    connect(cmdOK_, &QPushButton::clicked, this, &QWidget::close);
}
