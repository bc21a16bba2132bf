#pragma once
// The notification icon on a desktop's system tray, reporting its clicks as tray mouse
// messages.

#include "platform/notify_area.h"

#include <QIcon>
#include <QSystemTrayIcon>

#include <memory>

class TrayNotifyArea final : public NotifyArea {
    Q_OBJECT
public:
    // Without a screen (a service) there is no tray to put the icon in: nothing is shown.
    TrayNotifyArea(const QIcon& icon, bool onScreen, QObject* parent = nullptr);

    bool isAvailable() const override;
    void add(const QString& tip) override;
    void remove() override;

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    QIcon icon_;
    bool onScreen_;
    // Made at the first add(), on a screen only: without one the toolkit's tray complains.
    std::unique_ptr<QSystemTrayIcon> tray_;
};
