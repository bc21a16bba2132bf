#pragma once
// A listening TCP socket on every local IPv4 address at one port. Each new connection is
// handed to the handler as a descriptor, which the handler adopts or closes; what the kernel
// knows of it before anyone takes it (the peer, and where a firewall redirect found it headed)
// is asked here.

#include <QObject>
#include <QTcpServer>
#include <functional>

class TcpListener : public QObject {
    Q_OBJECT
public:
    static constexpr int kListenBacklog = 1024; // connections handshaken, not yet accepted

    struct Destination {
        quint32 address = 0; // IPv4, host byte order
        int port = 0;        // 0: none
    };
    using Handler = std::function<void(qintptr descriptor)>;

    explicit TcpListener(QObject* parent = nullptr);
    ~TcpListener() override;

    // The handler owns every descriptor it is given; without one they are closed.
    void setHandler(Handler handler) { handler_ = std::move(handler); }
    // IPv4 only: a dual-stack listener names its clients "::ffff:a.b.c.d". Port 0 takes any free
    // port, which port() then gives.
    bool listen(quint16 port);
    bool isListening() const { return server_.isListening(); }
    quint16 port() const { return server_.serverPort(); }
    void close() { server_.close(); }

    // The IPv4 address of a connection's peer; 0 when it has none.
    static quint32 peerIPv4(qintptr descriptor);
    // Where a connection was headed before the firewall redirected it here (SO_ORIGINAL_DST);
    // port 0 when it came to this port itself or the kernel keeps no such record.
    static Destination originalDestination(qintptr descriptor);

private:
    class Server;
    friend class Server;
    void takeIncoming(qintptr descriptor);

    class Server : public QTcpServer {
    public:
        explicit Server(TcpListener& owner) : owner_(owner) {}

    protected:
        void incomingConnection(qintptr descriptor) override { owner_.takeIncoming(descriptor); }

    private:
        TcpListener& owner_;
    };

    Server server_{*this};
    Handler handler_;
};
