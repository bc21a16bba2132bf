#pragma once
// The trace sink. The address service and the proxy hand it one line per event; it keeps
// nothing, so no client data or provider login is ever shown, stored or sent.

#include <QByteArray>

void TraceOut(const QByteArray& text);
// No sink keeps the lines today: callers build a line only when one is wanted.
constexpr bool TraceWanted() {
    return false;
}
void TraceMsg(const QByteArray& text);
