#pragma once
// The proxy auto-configuration script served at the auto-discovery URL: http: and https: go
// through the gateway's proxy (direct when it cannot be reached), everything else direct.

#include <QByteArray>

// 177 bytes, five lines each ended by LF, no CR.
QByteArray WpadScript();
