#pragma once
// The allowances: the Ethernet addresses that the last allowance feed admitted, each with the
// end of its allowance. A client is admitted only when its address is listed and its allowance
// has not run out.

#include "common/mac_address.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QHash>

class AllowedList {
public:
    void clear() { ends_.clear(); }
    // A null end means it never expires.
    void add(const MacAddress& mac, const QDateTime& end) { ends_.insert(mac, end); }
    // A feed record's address: anything but six bytes admits no one and is not listed.
    void add(QByteArrayView raw, const QDateTime& end);
    bool isAllowed(const MacAddress& mac, const QDateTime& now) const;
    bool contains(const MacAddress& mac) const { return ends_.contains(mac); }
    // The end of mac's allowance: null when it never expires (or when mac is not listed).
    QDateTime end(const MacAddress& mac) const { return ends_.value(mac); }
    int size() const { return static_cast<int>(ends_.size()); }
    bool isEmpty() const { return ends_.isEmpty(); }

private:
    QHash<MacAddress, QDateTime> ends_;
};
