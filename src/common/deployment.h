#pragma once
// Values of the deployment rather than of the program: the provider service's web address and
// the domains open to every client. Built-in defaults, overridden by the environment variables
// TARNIX_PROVIDER_HOST (a host, optionally with ":port", optionally after "http://" or
// "https://") and TARNIX_WHITELIST (comma-separated).

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

} // namespace Deployment
