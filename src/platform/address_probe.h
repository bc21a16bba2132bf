#pragma once
// Asks the LAN whether some host already uses an address, before the address service offers
// it: the answer comes back later, through the callback, never inside the call.

#include <QByteArray>
#include <QObject>
#include <functional>

class AddressProbe : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // address: IPv4 in host order. done(true, its hardware address) when a host answered for
    // it in time, done(false, "") otherwise.
    using Answer = std::function<void(bool inUse, const QByteArray& holder)>;
    virtual void probe(quint32 address, Answer done) = 0;
    // Probes that have not been answered yet.
    virtual int pending() const = 0;
};
