#pragma once
// The notification icon on a desktop's system tray, reporting its clicks as tray mouse
// messages.

#include "platform/notify_area.h"

#include <QSystemTrayIcon>

class TrayNotifyArea final : public NotifyArea {
    Q_OBJECT
public:
    explicit TrayNotifyArea(const QIcon& icon, QObject* parent = nullptr);

    bool isAvailable() const override;
    void add(const QString& tip) override;
    void remove() override;

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    QSystemTrayIcon tray_;
};
