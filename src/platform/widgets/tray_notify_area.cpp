#include "platform/widgets/tray_notify_area.h"

TrayNotifyArea::TrayNotifyArea(const QIcon& icon, QObject* parent) : NotifyArea(parent) {
    tray_.setIcon(icon);
    connect(&tray_, &QSystemTrayIcon::activated, this, &TrayNotifyArea::onActivated);
}

bool TrayNotifyArea::isAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayNotifyArea::add(const QString& tip) {
    tray_.setToolTip(tip);
    tray_.show();
}

void TrayNotifyArea::remove() {
    tray_.hide();
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
