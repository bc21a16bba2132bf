#pragma once
// A small web origin on loopback for the page loader's tests: answers a request with the canned
// bytes of its path (by the request line's target) and closes, or keeps silent for other paths.
// Requests received are kept for the test to look at. Plain HTTP, or TLS with the server
// configuration given.

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
    explicit HttpOrigin(const QSslConfiguration& tls) : HttpOrigin(std::make_unique<QSslServer>()) {
        auto* server = static_cast<QSslServer*>(server_.get());
        server->setSslConfiguration(tls);
        connect(server, &QSslServer::startedEncryptionHandshake, this, [this] { ++handshakes; });
    }
    int port() const { return server_->serverPort(); }
    QString hostAndPort() const { return QStringLiteral("127.0.0.1:%1").arg(port()); }

    // The whole response for a path.
    void route(const QByteArray& path, const QByteArray& response) { routes_[path] = response; }

    static QByteArray ok(const QByteArray& body) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) +
               "\r\n\r\n" + body;
    }

    QList<QByteArray> requests;
    int handshakes = 0; // TLS handshakes begun

private:
    explicit HttpOrigin(std::unique_ptr<QTcpServer> server) : server_(std::move(server)) {
        server_->listen(QHostAddress::LocalHost, 0);
        // Not newConnection: a TLS server announces the connection before the handshake, and
        // has it pending only once the handshake has completed.
        connect(server_.get(), &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* socket = server_->nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            }
        });
    }

    void serve(QTcpSocket* socket) {
        QByteArray& pending = buffers_[socket];
        pending += socket->readAll();
        if (!pending.contains("\r\n\r\n"))
            return;
        requests << pending;
        QByteArray path = pending.left(pending.indexOf("\r\n")).split(' ').value(1);
        path.truncate(path.contains('?') ? path.indexOf('?') : path.size());
        if (const QByteArray response = routes_.value(path); !response.isEmpty()) {
            socket->write(response);
            socket->disconnectFromHost();
        }
    }

    std::unique_ptr<QTcpServer> server_;
    QMap<QByteArray, QByteArray> routes_;
    QMap<QTcpSocket*, QByteArray> buffers_;
};
