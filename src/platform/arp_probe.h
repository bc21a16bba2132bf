#pragma once
// The address probe on an Ethernet LAN: an ARP probe (sender address 0.0.0.0, as hosts check
// an address before taking it) on the adapter, and any ARP packet from the probed address
// within the wait counts as an answer. Needs CAP_NET_RAW; without it nothing is opened and
// every address reads as free.

#include "platform/address_probe.h"

#include <QByteArray>
#include <QTimer>
#include <map>

class QSocketNotifier;

class ArpProbe final : public AddressProbe {
    Q_OBJECT
public:
    static constexpr int kWaitMs = 300;

    explicit ArpProbe(QObject* parent = nullptr);
    ~ArpProbe() override;

    // Opens the probe on the adapter that holds localAddress (dotted text). False when there is
    // none or the packet socket cannot be had; probes then answer "free" at once (queued).
    bool open(const QString& localAddress);
    bool isOpen() const { return fd_ >= 0; }
    void close();

    void probe(quint32 address, Answer done) override;
    int pending() const override { return static_cast<int>(waiting_.size()); }

private:
    struct Waiting {
        Answer done;
        qint64 deadline;
    };
    void readPackets();
    void expire();
    void answer(quint32 address, const QByteArray& holder);

    int fd_ = -1;
    int interfaceIndex_ = 0;
    QByteArray ownMac_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer expiry_;
    std::multimap<quint32, Waiting> waiting_;
};
