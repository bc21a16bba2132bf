#include "registry/allowance_feed.h"

#include "common/hex_string.h"

#include <cmath>

namespace {

const QString kMarker = QStringLiteral("***Allowed***");
const QString kRecordStart = QStringLiteral("*%*");

// Two digits a byte; a single leftover digit is ignored.
std::optional<QByteArray> decodeAddress(QStringView field) {
    QByteArray address;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (hexDigitValue(field[i]) < 0)
            return std::nullopt;
    }
    for (qsizetype i = 0; i + 1 < field.size(); i += 2)
        address.append(
            static_cast<char>(hexDigitValue(field[i]) * 16 + hexDigitValue(field[i + 1])));
    if (address.isEmpty())
        return std::nullopt;
    return address;
}

std::optional<double> readDays(QStringView field) {
    QString text = field.trimmed().toString();
    text.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    const double days = text.toDouble(&ok); // C locale: "." whatever the operator's locale
    if (!ok || !std::isfinite(days))
        return std::nullopt;
    return days;
}

} // namespace

QDateTime allowanceEnd(const QDateTime& now, double days) {
    if (days == kNeverExpiresDays)
        return QDateTime();
    return now.addSecs(std::llround(days * 86400.0));
}

std::optional<std::vector<AllowanceRecord>> readAllowanceFeed(const QString& body) {
    const qsizetype marker = body.indexOf(kMarker);
    if (marker < 0)
        return std::nullopt;
    std::vector<AllowanceRecord> records;
    QStringView rest = QStringView(body).mid(marker);
    for (;;) {
        const qsizetype start = rest.indexOf(kRecordStart);
        if (start < 0)
            break;
        rest = rest.mid(start + kRecordStart.size());
        const qsizetype addressEnd = rest.indexOf(QLatin1Char('*'));
        if (addressEnd < 0)
            break;
        const std::optional<QByteArray> address = decodeAddress(rest.left(addressEnd));
        rest = rest.mid(addressEnd + 1);
        const qsizetype daysEnd = rest.indexOf(QLatin1Char('*'));
        if (!address || daysEnd < 0)
            break;
        const std::optional<double> days = readDays(rest.left(daysEnd));
        if (!days)
            break;
        // The closing star may open the next record, so the search goes on from the allowance.
        records.push_back({*address, *days});
    }
    return records;
}
