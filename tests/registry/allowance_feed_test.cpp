// The allowance feed reader: records after the marker, the shared closing star, and where a
// malformed record stops the reading.

#include "registry/allowance_feed.h"

#include <QLocale>
#include <gtest/gtest.h>

namespace {

const QByteArray kMacA("\x00\x0C\x29\xAB\xCD\xEF", 6);
const QByteArray kMacB("\x00\x50\x56\x01\x02\x03", 6);

std::vector<std::pair<QByteArray, double>> fields(const std::vector<AllowanceRecord>& records) {
    std::vector<std::pair<QByteArray, double>> out;
    for (const AllowanceRecord& r : records)
        out.emplace_back(r.hardwareAddress, r.days);
    return out;
}

} // namespace

TEST(AllowanceFeed, ReadsRecordsAfterTheMarkerWhateverTheLocale) {
    using Records = std::vector<AllowanceRecord>;
    const struct {
        const char* name;
        QString body;
        std::optional<Records> records;
    } rows[] = {
        {"one record", "***Allowed****%*000c29abcdef*0.5*", Records{{kMacA, 0.5}}},
        {"two records sharing the star between them",
         "***Allowed****%*000C29ABCDEF*1*%*005056010203*9999*", Records{{kMacA, 1}, {kMacB, 9999}}},
        {"text around the marker and between records is ignored",
         "<p>banner</p><!-- ***Allowed*** x *%*000C29ABCDEF*2* y *%*005056010203*3* -->tail",
         Records{{kMacA, 2}, {kMacB, 3}}},
        {"no marker is no feed", "<p>Login refused</p>*%*000C29ABCDEF*2*", std::nullopt},
        {"marker without records admits nobody", "***Allowed***", Records{}},
        {"a comma is a decimal point too", "***Allowed****%*000C29ABCDEF*0,25*",
         Records{{kMacA, 0.25}}},
        {"a record without its closing star ends the reading",
         "***Allowed****%*000C29ABCDEF*1**%*005056010203*4", Records{{kMacA, 1}}},
        {"an address that is not hex ends the reading",
         "***Allowed****%*000C29ABCDEF*1**%*00G056010203*4**%*005056010203*5*",
         Records{{kMacA, 1}}},
    };
    const struct Restore {
        QLocale saved;
        ~Restore() { QLocale::setDefault(saved); }
    } restore;
    // A decimal comma locale must not change how the point is read.
    for (const QLocale& locale : {restore.saved, QLocale(QLocale::German, QLocale::Germany)}) {
        SCOPED_TRACE(locale.name().toStdString());
        QLocale::setDefault(locale);
        for (const auto& row : rows) {
            SCOPED_TRACE(row.name);
            const auto records = readAllowanceFeed(row.body);
            ASSERT_EQ(records.has_value(), row.records.has_value());
            if (records) {
                EXPECT_EQ(fields(*records), fields(*row.records));
            }
        }
    }
}

TEST(AllowanceEnd, DaysFromNowToTheWholeSecondAnd9999Never) {
    const QDateTime now(QDate(2026, 12, 6), QTime(12, 0, 0));
    const struct {
        const char* name;
        double days;
        QDateTime end;
    } rows[] = {
        {"9999 never ends", 9999, QDateTime()},
        {"9998 is a date", 9998, now.addDays(9998)},
        {"half a day is twelve hours", 0.5, now.addSecs(12 * 3600)},
        {"parts of a second round to whole seconds", 0.6 / 86400, now.addSecs(1)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(allowanceEnd(now, row.days), row.end);
    }
}
