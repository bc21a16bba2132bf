#pragma once
// Asks the LAN whether some host already uses an address, before the address service offers
// it: the answer comes back later, through the callback, never inside the call.

#include <QObject>
#include <functional>

class AddressProbe : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // address: IPv4 in host order. done(true) when a host answered for it in time.
    virtual void probe(quint32 address, std::function<void(bool inUse)> done) = 0;
    // Probes that have not been answered yet.
    virtual int pending() const = 0;
};
