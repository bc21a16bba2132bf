#include "registry/allowed_list.h"

void AllowedList::add(const QByteArray& raw, const QDateTime& end) {
    ends_.insert(raw, end);
}

bool AllowedList::isAllowed(const QByteArray& raw, const QDateTime& now) const {
    // Whole addresses only: a lookup by key, so no run of bytes that merely spans two listed
    // addresses can match.
    const auto it = ends_.constFind(raw);
    if (it == ends_.constEnd())
        return false;
    return it.value().isNull() || now < it.value();
}
