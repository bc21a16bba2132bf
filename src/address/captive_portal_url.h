#pragma once
// The captive-portal API address a DHCP reply announces in option 114 (RFC 8910): a template
// in which "{id}" stands for the operator's provider ID and "{mac}" for the client's hardware
// address, so that each client gets a URL of its own (RFC 8908 asks for one per client when
// the API server cannot tell clients apart otherwise). Pure functions over texts.

#include <QByteArray>
#include <QString>

namespace CaptivePortalUrl {

// A client may refuse a DHCP message longer than 548 bytes (RFC 2131: a 576-byte IP datagram)
// unless it announced more in option 57. The longest reply without option 114, an OFFER or an
// ACK with lease time, is 313 bytes and the option's code and length take two more: 233 bytes
// of URL is what every client takes (and below the 255 that one option could carry).
inline constexpr int kMaxSize = 233;

// Why the template cannot be announced with this provider ID, for the operator to read; empty
// when it can, and for an empty template (no option then). Announced is only an https URL
// (clients ignore any other) with a host, with "{mac}" in it, printable ASCII without blanks,
// no brace left once "{id}" and "{mac}" are filled in, at most kMaxSize bytes long.
QString problem(const QString& urlTemplate, const QString& providerId);

// The URL for one client: "{id}" becomes the provider ID percent-encoded (everything outside
// RFC 3986's unreserved set, as in the purchase page address), "{mac}" the six-byte hardware
// address as 12 upper-case hex digits. Empty for an empty template, for any other length of
// hardware address (the provider knows clients only by six bytes) and when the URL would be
// longer than kMaxSize: an announced URL is never cut.
QByteArray forClient(const QString& urlTemplate, const QString& providerId,
                     const QByteArray& hardwareAddress);

} // namespace CaptivePortalUrl
