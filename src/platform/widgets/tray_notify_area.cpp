#include "platform/widgets/tray_notify_area.h"

TrayNotifyArea::TrayNotifyArea(const QIcon& icon, bool onScreen, QObject* parent)
    : NotifyArea(parent), icon_(icon), onScreen_(onScreen) {}

bool TrayNotifyArea::isAvailable() const {
    return onScreen_ && QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayNotifyArea::add(const QString& tip) {
    if (!onScreen_)
        return;
    if (!tray_) {
        tray_ = std::make_unique<QSystemTrayIcon>(icon_);
        connect(tray_.get(), &QSystemTrayIcon::activated, this, &TrayNotifyArea::onActivated);
    }
    tray_->setToolTip(tip);
    tray_->show();
}

void TrayNotifyArea::remove() {
    if (tray_)
        tray_->hide();
}

void TrayNotifyArea::onActivated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::DoubleClick:
        emit mouseMessage(kLeftDoubleClick);
        break;
    case QSystemTrayIcon::Trigger:
        emit mouseMessage(kLeftButtonUp);
        break;
    case QSystemTrayIcon::Context:
        emit mouseMessage(kRightButtonUp);
        break;
    case QSystemTrayIcon::MiddleClick:
        emit mouseMessage(kMiddleButtonUp);
        break;
    case QSystemTrayIcon::Unknown:
        break;
    }
}
