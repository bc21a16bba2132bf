#pragma once
// The UDP socket control of the address service. Bound to an address of a local adapter, it
// receives on that adapter the datagrams sent to the port, broadcasts to 255.255.255.255
// included, and its broadcasts leave through that adapter whatever the routing table says.

#include "platform/datagram_socket.h"
#include "platform/socket_state.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

class QUdpSocket;

class UdpSocketControl : public QObject, public DatagramSocket {
    Q_OBJECT
public:
    explicit UdpSocketControl(int index, QObject* parent = nullptr);
    ~UdpSocketControl() override;

    int Index() const { return index_; }
    // 0 closed, 1 open (bound).
    int State() const;

    // Binds localPort on the adapter that holds localAddress. False, and still closed, when
    // no adapter holds that address or the port is taken.
    bool Bind(int localPort, const QString& localAddress);

    void setRemoteHost(const QString& host) override { remoteHost_ = host; }
    QString RemoteHost() const { return remoteHost_; }
    void setRemotePort(int port) override { remotePort_ = port; }
    int RemotePort() const { return remotePort_; }

    // Sends one datagram to RemoteHost:RemotePort. False when the send fails.
    bool SendData(const QByteArray& datagram) override;
    // Exactly one whole received datagram ("" when none is waiting).
    QByteArray GetData();
    // Dotted IPv4 text of the sender of the datagram GetData returned last ("" before any).
    QString RemoteHostIP() const;
    void Close();

signals:
    void DataArrival(int index, qint64 bytesTotal);
    void Error(int index, int number, const QString& description);

private:
    void onReadyRead();
    void onSocketError();

    int index_;
    QString remoteHost_;
    int remotePort_ = 0;
    int interfaceIndex_ = 0;
    QHostAddress lastSender_;
    QPointer<QUdpSocket> socket_;
    // Counts datagrams taken by GetData, so readyRead can tell whether a handler took one.
    quint64 datagramsTaken_ = 0;
};
