#include "registry/allowed_list.h"

void AllowedList::add(QByteArrayView raw, const QDateTime& end) {
    if (const std::optional<MacAddress> mac = MacAddress::fromBytes(raw))
        add(*mac, end);
}

bool AllowedList::isAllowed(const MacAddress& mac, const QDateTime& now) const {
    const auto it = ends_.constFind(mac);
    if (it == ends_.constEnd())
        return false;
    return it.value().isNull() || now < it.value();
}
