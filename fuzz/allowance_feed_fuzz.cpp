// The provider page's body read as an allowance feed, decoded both as UTF-8 and as Latin-1.

#include "fuzz_support.h"
#include "registry/allowance_feed.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = exactBytes(data, size);
    for (const QString& body : {QString::fromUtf8(bytes), QString::fromLatin1(bytes)}) {
        const auto records = readAllowanceFeed(body);
        const qsizetype marker = body.indexOf(QStringLiteral("***Allowed***"));
        FUZZ_CHECK(records.has_value() == (marker >= 0));
        if (!records)
            continue;
        FUZZ_CHECK(qsizetype(records->size()) <= body.count(QStringLiteral("*%*")));
        for (const AllowanceRecord& record : *records) {
            FUZZ_CHECK(!record.hardwareAddress.isEmpty() && std::isfinite(record.days));
            FUZZ_CHECK(record.hardwareAddress.size() <= body.size() / 2);
        }
    }
    return 0;
}
