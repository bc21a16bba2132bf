#pragma once
// A small web origin on loopback for tests: answers each request with the canned bytes of its
// path (by the request line's target), or keeps silent for paths marked to hang. Requests
// received are kept for the test to look at; requests that arrive together (pipelined) are
// answered one after the other. Plain HTTP, or TLS with the server configuration given.

#include <QHostAddress>
#include <QMap>
#include <QSslConfiguration>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

class HttpOrigin : public QObject {
public:
    HttpOrigin() : HttpOrigin(std::make_unique<QTcpServer>()) {}
    explicit HttpOrigin(const QSslConfiguration& tls) : HttpOrigin(tlsServer(tls)) {}
    int port() const { return server_->serverPort(); }
    QString hostAndPort() const { return QStringLiteral("127.0.0.1:%1").arg(port()); }

    // The whole response for a path; the connection is closed after it when closeAfter.
    void route(const QByteArray& path, const QByteArray& response, bool closeAfter = true) {
        routes_[path] = {response, closeAfter, false};
    }
    void hang(const QByteArray& path) { routes_[path] = {QByteArray(), false, true}; }

    static QByteArray ok(const QByteArray& body, const QByteArray& type = "text/html") {
        return "HTTP/1.1 200 OK\r\nContent-Type: " + type +
               "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }

    QList<QByteArray> requests;
    int connections = 0; // accepted so far (over TLS: once the handshake has completed)
    int handshakes = 0;  // TLS handshakes begun

private:
    explicit HttpOrigin(std::unique_ptr<QTcpServer> server) : server_(std::move(server)) {
        server_->listen(QHostAddress::LocalHost, 0);
        // Not newConnection: a TLS server announces the connection before the handshake, and
        // has it pending only once the handshake has completed.
        connect(server_.get(), &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* socket = server_->nextPendingConnection()) {
                ++connections;
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            }
        });
        if (auto* tls = qobject_cast<QSslServer*>(server_.get()))
            connect(tls, &QSslServer::startedEncryptionHandshake, this, [this] { ++handshakes; });
    }

    static std::unique_ptr<QTcpServer> tlsServer(const QSslConfiguration& configuration) {
        auto server = std::make_unique<QSslServer>();
        server->setSslConfiguration(configuration);
        return server;
    }

    struct Route {
        QByteArray response;
        bool closeAfter;
        bool hang;
    };

    void serve(QTcpSocket* socket) {
        buffers_[socket] += socket->readAll();
        while (socket->state() == QAbstractSocket::ConnectedState && serveOne(socket)) {
        }
    }

    // Answers the first complete request head waiting; false when there is none.
    bool serveOne(QTcpSocket* socket) {
        QByteArray& pending = buffers_[socket];
        const qsizetype headEnd = pending.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return false;
        const QByteArray head = pending.left(headEnd + 4);
        pending.remove(0, headEnd + 4);
        requests << head;
        const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
        QByteArray path = requestLine.value(1);
        const qsizetype query = path.indexOf('?');
        if (query >= 0)
            path.truncate(query);
        const auto it = routes_.constFind(path);
        if (it == routes_.constEnd()) {
            socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
            return true;
        }
        if (it->hang)
            return false;
        socket->write(it->response);
        if (it->closeAfter)
            socket->disconnectFromHost();
        return true;
    }

    std::unique_ptr<QTcpServer> server_;
    QMap<QByteArray, Route> routes_;
    QMap<QTcpSocket*, QByteArray> buffers_;
};
