#pragma once
// Reading dnsmasq's messages on standard error: "dnsmasq[PID]: text" while it runs, and one
// "dnsmasq: text" line for the fault that ends a start. They say when it answers and, when it
// could not start, why, in words the operator can act on.

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// Whether the line says dnsmasq answers now: "started, version …" comes once its sockets are
// bound and it has dropped its privileges.
bool dnsmasqStartedLine(const QByteArray& line);

// Why a start failed, from dnsmasq's last lines; empty when they hold no fatal message.
QString dnsmasqFailureReason(const QByteArray& lines, const QHostAddress& address, quint16 port);
