#pragma once
// The address server of the LAN segment: answers each DHCP datagram on the address-service
// socket by way of the client registry, whose entry for the client's hardware address gives
// its host number. Keeps no lease table of its own.

#include "platform/control_array.h"
#include "platform/datagram_socket.h"
#include "platform/message_box.h"
#include "platform/udp_socket_control.h"
#include "registry/client_registry.h"

#include <QByteArray>
#include <QObject>

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
    // Handles one datagram, answering through socket.
    void handleDatagram(const QByteArray& datagram, DatagramSocket& socket);
    // A socket error: one "Error" box at a time, never blocking.
    void DHCP_Error(int index, int number, const QString& description);

private:
    ControlArray<UdpSocketControl>& dhcp_;
    ClientRegistry& registry_;
    MessageBox& messages_;
    const QByteArray& gatewayAddress_;
    const QString& broadcastHost_;
    bool errorBoxOpen_ = false;
};
