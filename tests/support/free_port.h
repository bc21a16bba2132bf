#pragma once
// Ports on loopback that nothing listens on right now.

#include <QHostAddress>
#include <QTcpServer>
#include <QUdpSocket>

inline int freeTcpPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

inline int freeUdpPort() {
    QUdpSocket socket;
    socket.bind(QHostAddress::LocalHost, 0);
    return socket.localPort();
}
