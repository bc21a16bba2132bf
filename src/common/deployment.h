#pragma once
// Values of the deployment rather than of the program: the provider service's web host and the
// domains open to every client. Built-in defaults, overridden by the environment variables
// TARNIX_PROVIDER_HOST (a host, optionally with ":port") and TARNIX_WHITELIST (comma-separated).

#include <QString>
#include <QStringList>

namespace Deployment {

QString providerHost();
// Lower-case domain names; a host is open when it is one of them or ends with "." and one.
QStringList whitelist();

} // namespace Deployment
