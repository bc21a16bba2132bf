#pragma once
// One TCP socket control: a listener, an accepted client connection or an outgoing
// connection, with the members and events the proxy works with. Events carry the element's
// index so that one handler serves a whole control array.

#include "platform/socket_state.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpServer;
class StreamSocket;

class TcpSocketControl : public QObject {
    Q_OBJECT
public:
    explicit TcpSocketControl(int index, QObject* parent = nullptr);
    ~TcpSocketControl() override;

    int Index() const { return index_; }

    // 0 closed, 2 listening, 4 resolving, 6 connecting, 7 connected, 9 error. After a peer
    // close or a failed connect the state stays 9 until Close().
    int State() const;

    void setLocalPort(int port) { localPort_ = port; }
    int LocalPort() const { return localPort_; }
    // Listens on every local IPv4 address at LocalPort (0: any free port, which LocalPort then
    // holds). False (state 9) when it cannot.
    bool Listen();
    // Takes the pending connection that ConnectionRequest named; the state is then 7.
    void Accept(qintptr requestID);
    // The IPv4 address of the peer of a pending connection, before anyone takes it; 0 when it
    // has none. A request nobody accepts is closed once its event has been handled.
    static quint32 RequestPeerIPv4(qintptr requestID);
    // Where a pending connection was headed before the firewall redirected it here
    // (SO_ORIGINAL_DST); the port is 0 when the connection was not redirected.
    struct Destination {
        quint32 address = 0;
        int port = 0;
    };
    static Destination RequestOriginalDestination(qintptr requestID);

    void setRemoteHost(const QString& host) { remoteHost_ = host; }
    QString RemoteHost() const { return remoteHost_; }
    void setRemotePort(int port) { remotePort_ = port; }
    int RemotePort() const { return remotePort_; }
    // Dotted IPv4 text of the connected peer ("" when there is none).
    QString RemoteHostIP() const;

    // Starts connecting to RemoteHost:RemotePort and returns at once; the state becomes 7,
    // or 9 with an Error event. A port outside 1..65535 fails without connecting: the state is
    // 9 on return and the Error event comes from the event loop, like any other failure.
    void Connect();
    // Sends bytes, queueing what the network cannot take yet; BytesSent and SendComplete (once
    // nothing is queued) follow from the event loop.
    void SendData(const QByteArray& data);
    // The bytes received and not yet taken, kReadBufferSize at most.
    QByteArray GetData();
    // Bytes queued and not yet handed to the network.
    qint64 BytesToSend() const;
    // Bytes received and not yet taken. They wait in the system's buffer: while the caller
    // leaves them, the peer is held back by TCP itself, and no DataArrival comes until the
    // caller has taken them or found none here.
    qint64 BytesAvailable() const;
    static constexpr qint64 kReadBufferSize = 256 * 1024;
    // Closes whatever the control holds; the state is 0 when it returns. Harmless when closed.
    void Close();

signals:
    void DataArrival(int index, qint64 bytesTotal);
    void ConnectionRequest(int index, qintptr requestID);
    void SendComplete(int index);
    // Some queued bytes went out; stillQueued remain.
    void BytesSent(int index, qint64 stillQueued);
    void Connected(int index);
    void PeerClosed(int index);
    void Error(int index, int number, const QString& description);

private:
    void adoptSocket(StreamSocket* socket);
    void fail(int number, const QString& description);
    void onSocketError(int number, const QString& description);
    void onDisconnected();
    void releaseAll();

    int index_;
    int localPort_ = 0;
    QString remoteHost_;
    int remotePort_ = 0;
    bool errorLatched_ = false;
    // Bumped by every Close, so that an Error queued before it is dropped.
    quint64 generation_ = 0;
    // An Error or PeerClosed has been reported for the current socket.
    bool endReported_ = false;
    // Kept from the moment of connecting, since Qt forgets the peer once it has gone.
    QString remoteIp_;
    QPointer<QTcpServer> server_;
    QPointer<StreamSocket> socket_;
};
