#pragma once
// The address server of the LAN segment: answers each DHCP datagram on the address-service
// socket by way of the client registry, whose entry for the client's hardware address gives
// its host number. Keeps no lease table of its own.

#include "address/dhcp_message.h"
#include "platform/address_probe.h"
#include "platform/control_array.h"
#include "platform/datagram_socket.h"
#include "platform/message_box.h"
#include "platform/udp_socket_control.h"
#include "registry/client_registry.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

class DhcpServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kClientPort = 68;
    static constexpr char kSegmentBroadcast[] = "192.168.11.255";

    // gatewayAddress and broadcastHost are the shared fields GatewayAddress (four raw bytes) and
    // BroadcastHost ("255.255.255.255"); they are read at every datagram.
    DhcpServer(ControlArray<UdpSocketControl>& dhcp, ClientRegistry& registry, MessageBox& messages,
               const QByteArray& gatewayAddress, const QString& broadcastHost,
               QObject* parent = nullptr);

    // One received datagram on DHCP(index); every reply leaves through element 0.
    void DHCP_DataArrival(int index, qint64 bytesTotal);
    // Handles one datagram that sender (dotted IPv4 text, the datagram's source address) sent,
    // answering through socket.
    void handleDatagram(const QByteArray& datagram, const QString& sender, DatagramSocket& socket);

    // Before a number that no entry held is offered, the LAN is asked whether a host uses it
    // (a gateway restarted while clients hold leases must not hand their numbers out again).
    void setAddressProbe(AddressProbe* probe) { probe_ = probe; }
    static constexpr int kMaxProbeAttempts = 4;
    static constexpr int kMaxPendingProbes = 64;
    // A number a probe found free this recently is offered again without another probe: a
    // flood of newcomers then cannot keep the probes busy and starve a real client.
    static constexpr qint64 kProbedFreeForMs = 60 * 1000;
    // Option 114 in every OFFER and ACK to an Ethernet client: the captive-portal API address
    // made from urlTemplate with the provider ID *providerId (the login box, which the purchase
    // page address follows too; it outlives the server) as it stands at each reply. An empty
    // template, or a URL grown too long since the start checked it: no option.
    void setCaptivePortalUrl(const QString& urlTemplate, const QString* providerId) {
        captivePortalTemplate_ = urlTemplate;
        providerId_ = providerId;
    }
    // A socket error: one "Error" box at a time, never blocking.
    void DHCP_Error(int index, int number, const QString& description);

signals:
    // A client was given its lease: its number now stands for it.
    void leaseGranted();

private:
    void handle(const QByteArray& datagram, const QString& sender, DatagramSocket& socket,
                int attempt);
    void probeThenAnswer(const QByteArray& datagram, const QString& sender, DatagramSocket& socket,
                         ClientEntry* entry, int attempt);
    void probeThenDecline(ClientEntry* entry);
    quint32 hostAddress(int hostNumber) const;
    void answer(const QByteArray& datagram, const DhcpRequest& request, ClientEntry* entry,
                DatagramSocket& socket);

    ControlArray<UdpSocketControl>& dhcp_;
    ClientRegistry& registry_;
    MessageBox& messages_;
    const QByteArray& gatewayAddress_;
    const QString& broadcastHost_;
    bool errorBoxOpen_ = false;
    AddressProbe* probe_ = nullptr;
    QHash<int, qint64> probedFreeAt_; // host number -> monotonic ms of the probe's answer
    QString captivePortalTemplate_;
    const QString* providerId_ = nullptr;
};
