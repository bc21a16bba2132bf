#pragma once
// The proxy auto-configuration script served at the auto-discovery URL: http: and https: go
// through the gateway's proxy (direct when it cannot be reached), everything else direct.

#include <QByteArray>

// Five lines each ended by LF, no CR; proxy is the gateway's "address:port" (177 bytes for
// "192.168.11.1:8080").
QByteArray WpadScript(const QByteArray& proxy);
