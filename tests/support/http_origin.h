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
    explicit HttpOrigin(const QSslConfiguration& tls) : HttpOrigin(std::make_unique<QSslServer>()) {
        auto* server = static_cast<QSslServer*>(server_.get());
        server->setSslConfiguration(tls);
        connect(server, &QSslServer::startedEncryptionHandshake, this, [this] { ++handshakes; });
    }
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
    }

    struct Route {
        QByteArray response;
        bool closeAfter;
        bool hang;
    };

    // Answers every complete request head waiting, up to one to hang on.
    void serve(QTcpSocket* socket) {
        QByteArray& pending = buffers_[socket];
        pending += socket->readAll();
        for (qsizetype end; socket->state() == QAbstractSocket::ConnectedState &&
                            (end = pending.indexOf("\r\n\r\n")) >= 0;) {
            const QByteArray head = pending.left(end + 4);
            pending.remove(0, end + 4);
            requests << head;
            QByteArray path = head.left(head.indexOf("\r\n")).split(' ').value(1);
            path.truncate(path.contains('?') ? path.indexOf('?') : path.size());
            const auto it = routes_.constFind(path);
            if (it == routes_.constEnd()) {
                socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
                continue;
            }
            if (it->hang)
                return;
            socket->write(it->response);
            if (it->closeAfter)
                socket->disconnectFromHost();
        }
    }

    std::unique_ptr<QTcpServer> server_;
    QMap<QByteArray, Route> routes_;
    QMap<QTcpSocket*, QByteArray> buffers_;
};
