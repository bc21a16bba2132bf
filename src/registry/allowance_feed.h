#pragma once
// The allowance feed in the provider page's body: the marker "***Allowed***", then one record
// per admitted client, "*%*", the hardware address in hex, "*", the allowance in days, "*".

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <optional>
#include <vector>

struct AllowanceRecord {
    QByteArray hardwareAddress; // one byte per byte
    double days = 0;            // 9999: never expires
};

inline constexpr double kNeverExpiresDays = 9999;

// When an allowance of days given at now ends, to the whole second; null when it never does.
QDateTime allowanceEnd(const QDateTime& now, double days);

// The records of the feed, or nothing when the body has no marker. A malformed record (no
// closing "*", a digit that is not hex, an allowance that is not a number) ends the reading
// there; the records before it stand. "." and "," both count as the decimal point, whatever
// the locale.
std::optional<std::vector<AllowanceRecord>> readAllowanceFeed(const QString& body);
