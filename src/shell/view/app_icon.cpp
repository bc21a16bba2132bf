#include "shell/view/app_icon.h"

#include "tarnix-gateway.xpm"

QPixmap appPixmap() {
    return QPixmap(tarnix_gateway_xpm);
}

QIcon appIcon() {
    return QIcon(appPixmap());
}
