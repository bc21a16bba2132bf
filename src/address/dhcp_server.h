#pragma once
// The address server of the LAN segment: answers each DHCP datagram on the address-service
// socket by way of the client registry, whose entry for the client's hardware address gives
// its host number. Keeps no lease table of its own.

#include "address/dhcp_message.h"
#include "common/clock.h"
#include "platform/address_probe.h"
#include "platform/datagram_socket.h"
#include "registry/client_registry.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

class DhcpServer : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 kClientPort = 68;

    // Replies leave through socket; the network names the server and the segment.
    DhcpServer(DatagramSocket& socket, ClientRegistry& registry, const Clock& clock,
               LanNetwork network, QObject* parent = nullptr);

    // One datagram that sender (the datagram's source address) sent.
    void handleDatagram(const QByteArray& datagram, Ipv4Address sender);

    // Before a number that no entry held is offered, the LAN is asked whether a host uses it
    // (a gateway restarted while clients hold leases must not hand their numbers out again).
    void setAddressProbe(AddressProbe* probe) { probe_ = probe; }
    static constexpr int kMaxProbeAttempts = 4;
    static constexpr int kMaxPendingProbes = 64;
    // A number a probe found free this recently is offered again without another probe: a
    // flood of newcomers then cannot keep the probes busy and starve a real client.
    static constexpr qint64 kProbedFreeForMs = 60 * 1000;
    // Option 114 in every OFFER and ACK to an Ethernet client: the captive-portal API address
    // made from urlTemplate with the provider ID (the login box, which the purchase page
    // address follows too). An empty template, or a URL grown too long since the start checked
    // it: no option.
    void setCaptivePortalUrl(const QString& urlTemplate) { captivePortalTemplate_ = urlTemplate; }
    void setProviderId(const QString& providerId) { providerId_ = providerId; }

signals:
    // A client was given its lease: its number now stands for it.
    void leaseGranted();

private:
    void handle(const QByteArray& datagram, Ipv4Address sender, int attempt);
    int claimedNumber(const DhcpRequest& request) const;
    bool inAnotherName(const DhcpRequest& request, const ClientEntry& known,
                       Ipv4Address sender) const;
    void probeThenAnswer(const QByteArray& datagram, Ipv4Address sender, ClientEntry* entry,
                         int attempt);
    void probeThenDecline(ClientEntry* entry);
    void answer(const QByteArray& datagram, const DhcpRequest& request, ClientEntry* entry);

    DatagramSocket& socket_;
    ClientRegistry& registry_;
    const Clock& clock_;
    LanNetwork network_;
    AddressProbe* probe_ = nullptr;
    QHash<int, qint64> probedFreeAt_; // host number -> Clock::monotonicMs of the probe's answer
    QString captivePortalTemplate_;
    QString providerId_;
};
