#pragma once
// Dotted text of a raw IPv4 address (four bytes in network order), as DHCP traces and socket
// targets need it.

#include <QByteArray>
#include <QString>
#include <optional>

// "0.0.0.0" for an empty value; the first four bytes as decimals joined by "." otherwise.
// A value of one to three bytes is no address: the result is empty and the caller gives up.
std::optional<QString> IpFormat(const QByteArray& ac);
