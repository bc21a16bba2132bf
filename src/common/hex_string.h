#pragma once
// The MAC text of a hardware address: two upper-case hex digits and one blank per byte,
// trailing blank included ("00 0C 29 AB CD EF "). It keys a client entry.

#include <QByteArray>
#include <QString>

QString HexString(const QByteArray& bytes);
