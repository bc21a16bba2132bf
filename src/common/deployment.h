#pragma once
// Values of the deployment rather than of the program: the provider service's web address, the
// domains open to every client and the captive-portal API address. Built-in defaults,
// overridden by the environment variables TARNIX_PROVIDER_HOST (a host, optionally with
// ":port", optionally after "http://" or "https://"), TARNIX_WHITELIST (comma-separated) and
// TARNIX_CAPPORT_URL.

#include <QString>
#include <QStringList>

namespace Deployment {

// The provider's host with its port when one is given, without the scheme.
QString providerHost();
// "https" when TARNIX_PROVIDER_HOST says so, else "http" (providers that have only that).
QString providerScheme();
// Scheme, "://" and providerHost(): where the provider's pages are, without a path.
QString providerOrigin();
// Lower-case domain names; a host is open when it is one of them or ends with "." and one.
QStringList whitelist();
// The captive-portal API address template for DHCP option 114, "{id}" and "{mac}" in it (see
// address/captive_portal_url.h); empty when not set: the replies then carry no option 114.
QString captivePortalUrl();

} // namespace Deployment
