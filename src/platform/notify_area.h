#pragma once
// The gateway's icon in the desktop's notification area, from which a hidden window is
// brought back.

#include <QObject>
#include <QString>

class NotifyArea : public QObject {
    Q_OBJECT
public:
    // Mouse messages reported for the icon, with the values the tray protocol gives them.
    static constexpr int kLeftButtonUp = 514;
    static constexpr int kLeftDoubleClick = 515;
    static constexpr int kRightButtonUp = 517;
    static constexpr int kMiddleButtonUp = 520;

    using QObject::QObject;
    // False on a desktop without a notification area: a hidden window could not come back.
    virtual bool isAvailable() const = 0;
    virtual void add(const QString& tip) = 0;
    virtual void remove() = 0;

signals:
    void mouseMessage(int message);
};
