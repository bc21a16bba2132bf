#pragma once
// The trace sink. The address service and the proxy hand it one line per event; it keeps
// nothing, so no client data or provider login is ever shown, stored or sent.

#include <QByteArray>

void TraceOut(const QByteArray& text);
void TraceMsg(const QByteArray& text);
