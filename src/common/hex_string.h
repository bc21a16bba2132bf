#pragma once
// The MAC text of a hardware address: two upper-case hex digits and one blank per byte,
// trailing blank included ("00 0C 29 AB CD EF "). It keys a client entry.

#include <QByteArray>
#include <QChar>
#include <QString>

QString HexString(const QByteArray& bytes);

// The value of one hex digit, upper or lower case; -1 for any other character.
int hexDigitValue(QChar c);
