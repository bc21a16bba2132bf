#include "shell/view/gateway_window.h"

#include "shell/view/about_window.h"
#include "shell/view/app_icon.h"
#include "shell/view/client_tree_view.h"
#include "shell/view/legend_window.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTextBrowser>
#include <QTreeWidget>

namespace {

int px(int twips) {
    return qRound(twips / GatewayWindow::kTwipsPerPixel);
}

void place(QWidget* widget, int left, int top, int width, int height) {
    widget->setGeometry(px(left), px(top), px(width), px(height));
}

QFont boldFont(QFont font) {
    font.setBold(true);
    return font;
}

} // namespace

GatewayWindow::GatewayWindow(GatewayShell& model, QWidget* parent)
    : QMainWindow(parent), model_(model) {
    setObjectName(QStringLiteral("GatewayWindow"));
    setWindowTitle(QStringLiteral("Tarnix - Gateway"));
    setWindowIcon(appIcon());
    // A fixed tool window: small caption, no minimise or maximise button.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

    QFont font = this->font();
    font.setPixelSize(11);
    setFont(font);

    buildMenus();
    setCentralWidget(buildClientArea());
    // A line for the name service and devices without proxy settings, below the form.
    statusBar()->setSizeGripEnabled(false);
    setFixedSize(sizeHint());

    connect(&model_, &GatewayShell::providerTextChanged, provider_, [this](const QString& text) {
        if (provider_->text() != text)
            provider_->setText(text);
    });
    connect(&model_, &GatewayShell::pwdTextChanged, pwd_, [this](const QString& text) {
        if (pwd_->text() != text)
            pwd_->setText(text);
    });
    connect(provider_, &QLineEdit::textEdited, &model_, &GatewayShell::setProviderText);
    connect(pwd_, &QLineEdit::textEdited, &model_, &GatewayShell::setPwdText);
    connect(providerBt_, &QPushButton::clicked, &model_, &GatewayShell::startGateway);
    connect(&model_, &GatewayShell::buttonChanged, this, &GatewayWindow::showButton);
    connect(&model_, &GatewayShell::autoHideChanged, mnAutoHide_, &QAction::setChecked);
    connect(&model_, &GatewayShell::transparentChanged, mnTransparent_, &QAction::setChecked);
    connect(&model_, &GatewayShell::servicesChanged, this,
            [this] { statusBar()->showMessage(model_.servicesText()); });
    connect(&model_, &GatewayShell::visibilityChanged, this, &GatewayWindow::applyVisibility);
    connect(&model_.providerPage(), &ProviderPage::bannerChanged, ek_, &QTextBrowser::setHtml);
    connect(&model_, &GatewayShell::countersChanged, this, &GatewayWindow::showCounters);
    connect(&model_, &GatewayShell::unloaded, this, [this] {
        if (legend_)
            legend_->close();
        if (about_)
            about_->close();
        hide();
    });

    treeView_ = std::make_unique<ClientTreeView>(tv_);
    model_.setTreeDisplay(treeView_.get());

    provider_->setText(model_.providerText());
    pwd_->setText(model_.pwdText());
    mnAutoHide_->setChecked(model_.autoHideChecked());
    mnTransparent_->setChecked(model_.transparentChecked());
    statusBar()->showMessage(model_.servicesText());
    showButton();
}

GatewayWindow::~GatewayWindow() {
    model_.setTreeDisplay(nullptr);
}

void GatewayWindow::buildMenus() {
    QMenu* mnFile = menuBar()->addMenu(QStringLiteral("&File"));
    QAction* mnHide = mnFile->addAction(QStringLiteral("Hide this &Window"));
    mnHide->setObjectName(QStringLiteral("mnHide"));
    mnHide->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    connect(mnHide, &QAction::triggered, &model_, &GatewayShell::hideWindow);
    QAction* mnExit = mnFile->addAction(QStringLiteral("&Exit"));
    mnExit->setObjectName(QStringLiteral("mnExit"));
    mnExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));
    connect(mnExit, &QAction::triggered, &model_, &GatewayShell::askToExit);

    QMenu* mnSetup = menuBar()->addMenu(QStringLiteral("&Setup"));
    mnAutoHide_ = mnSetup->addAction(QStringLiteral("&Auto Hide when start"));
    mnAutoHide_->setObjectName(QStringLiteral("mnAutoHide"));
    mnAutoHide_->setCheckable(true);
    // The model owns the check state; the action only mirrors it.
    connect(mnAutoHide_, &QAction::triggered, this, [this] {
        mnAutoHide_->setChecked(model_.autoHideChecked());
        model_.toggleAutoHide();
    });

    mnTransparent_ = mnSetup->addAction(QStringLiteral("Serve &Devices Without Proxy Settings"));
    mnTransparent_->setObjectName(QStringLiteral("mnTransparent"));
    mnTransparent_->setCheckable(true);
    connect(mnTransparent_, &QAction::triggered, this, [this] {
        mnTransparent_->setChecked(model_.transparentChecked());
        model_.toggleTransparentAccess();
    });

    QMenu* mnHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    QAction* mnLegend = mnHelp->addAction(QStringLiteral("&Legend"));
    mnLegend->setObjectName(QStringLiteral("mnLegend"));
    connect(mnLegend, &QAction::triggered, this, &GatewayWindow::showLegend);
    QAction* mnAbout = mnHelp->addAction(QStringLiteral("&About Tarnix Gateway"));
    mnAbout->setObjectName(QStringLiteral("mnAbout"));
    connect(mnAbout, &QAction::triggered, this, &GatewayWindow::showAbout);
}

QWidget* GatewayWindow::buildClientArea() {
    auto* area = new QWidget(this);
    area->setFixedSize(px(8175), px(6270));

    ek_ = new QTextBrowser(area);
    ek_->setObjectName(QStringLiteral("EK"));
    ek_->setOpenLinks(false);
    place(ek_, 0, 0, 8440, 1455);

    auto* frame3 = new QGroupBox(QStringLiteral("Provider Login"), area);
    frame3->setObjectName(QStringLiteral("Frame3"));
    place(frame3, 0, 1560, 2415, 1575);
    addCaption(frame3, "Label3", QStringLiteral("ID:"), 650, 350, 375, 255);
    provider_ = new QLineEdit(frame3);
    provider_->setObjectName(QStringLiteral("Provider"));
    provider_->setFont(boldFont(font()));
    place(provider_, 960, 240, 1335, 360);
    addCaption(frame3, "Label7", QStringLiteral("Password:"), 120, 720, 855, 255);
    pwd_ = new QLineEdit(frame3);
    pwd_->setObjectName(QStringLiteral("Pwd"));
    pwd_->setEchoMode(QLineEdit::Password);
    pwd_->setStyleSheet(QStringLiteral("lineedit-password-character: 42;")); // "*"
    place(pwd_, 960, 660, 1335, 360);
    providerBt_ = new QPushButton(frame3);
    providerBt_->setObjectName(QStringLiteral("ProviderBt"));
    providerBt_->setFont(boldFont(font()));
    place(providerBt_, 120, 1080, 2175, 375);

    auto* frame2 = new QGroupBox(QStringLiteral("Current Numbers"), area);
    frame2->setObjectName(QStringLiteral("Frame2"));
    place(frame2, 0, 3240, 2415, 3015);
    addCaption(frame2, "Label2", QStringLiteral("Clients:"), 200, 360, 735, 255);
    addValue(frame2, "NumberOfClients", QStringLiteral("0"), 960, 360, 1335, 255);
    addCaption(frame2, "Label5", QStringLiteral("Counter:"), 120, 720, 735, 255);
    addValue(frame2, "PurCounter", QStringLiteral("0"), 960, 720, 1335, 255);
    addCaption(frame2, "Label1", QStringLiteral("Socks:"), 240, 1080, 720, 255);
    addValue(frame2, "NumberofSocks", QStringLiteral("0"), 960, 1080, 1335, 255);
    addCaption(frame2, "Label4", QStringLiteral("Up:"), 525, 1440, 375, 255);
    addValue(frame2, "TotUP", QString(), 960, 1440, 1335, 255);
    addCaption(frame2, "Label6", QStringLiteral("Down:"), 285, 1800, 615, 255);
    addValue(frame2, "TotDown", QString(), 960, 1800, 1335, 255);

    auto* frame1 = new QGroupBox(QStringLiteral("Active Clients"), area);
    frame1->setObjectName(QStringLiteral("Frame1"));
    place(frame1, 2520, 1560, 5655, 4695);
    tv_ = new QTreeWidget(frame1);
    tv_->setObjectName(QStringLiteral("TV"));
    tv_->setHeaderHidden(true);
    tv_->setIconSize(QSize(16, 16));
    place(tv_, 120, 240, 5415, 4335);
    return area;
}

QLabel* GatewayWindow::addCaption(QWidget* frame, const char* name, const QString& text, int left,
                                  int top, int width, int height) {
    auto* label = new QLabel(text, frame);
    label->setObjectName(QString::fromLatin1(name));
    place(label, left, top, width, height);
    return label;
}

QLabel* GatewayWindow::addValue(QWidget* frame, const char* name, const QString& text, int left,
                                int top, int width, int height) {
    QLabel* label = addCaption(frame, name, text, left, top, width, height);
    label->setFont(boldFont(font()));
    label->setAutoFillBackground(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, QColor(0xC0, 0xC0, 0xC0));
    palette.setColor(QPalette::WindowText, QColor(0x00, 0x80, 0x00));
    label->setPalette(palette);
    return label;
}

void GatewayWindow::showCounters() {
    const GatewayShell::Counters& counters = model_.counters();
    const std::pair<const char*, QString> captions[] = {
        {"NumberofSocks", counters.connections}, {"NumberOfClients", counters.clients},
        {"PurCounter", counters.purchases},      {"TotUP", counters.upTotal},
        {"TotDown", counters.downTotal},
    };
    for (const auto& [name, text] : captions) {
        if (auto* label = findChild<QLabel*>(QString::fromLatin1(name)))
            label->setText(text);
    }
}

void GatewayWindow::showButton() {
    providerBt_->setText(model_.buttonCaption());
    providerBt_->setEnabled(model_.buttonEnabled());
}

void GatewayWindow::applyVisibility() {
    if (model_.isUnloaded())
        return;
    switch (model_.visibility()) {
    case GatewayShell::Visibility::Shown:
        showNormal();
        raise();
        activateWindow();
        break;
    case GatewayShell::Visibility::Hidden:
        hide();
        break;
    case GatewayShell::Visibility::Minimised:
        showMinimized();
        break;
    }
}

void GatewayWindow::closeEvent(QCloseEvent* event) {
    // The close control unloads at once, without the exit question.
    model_.quit();
    event->accept();
}

void GatewayWindow::showLegend() {
    if (!legend_)
        legend_ = new LegendWindow(this);
    legend_->show();
    legend_->raise();
    legend_->activateWindow();
}

void GatewayWindow::showAbout() {
    if (!about_)
        about_ = new AboutWindow(this);
    about_->show();
    about_->raise();
    about_->activateWindow();
}
