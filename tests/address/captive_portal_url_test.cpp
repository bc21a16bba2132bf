// The captive-portal API address of option 114: which templates the start refuses. (The URL a
// client is given is pinned by the golden ACK; 233 bytes of it make the longest reply, 548.)

#include "address/captive_portal_url.h"

#include <QUrl>
#include <gtest/gtest.h>

namespace {

const QString kTemplate = QStringLiteral("https://provider.example/capport-api?id={id}&mac={mac}");

// A template whose URL, filled in with providerId, is size bytes long.
QString templateOfSize(int size, const QString& providerId) {
    const QString head = QStringLiteral("https://provider.example/");
    const QString tail = QStringLiteral("?id={id}&mac={mac}");
    const qsizetype filledTail =
        tail.size() - 4 - 5 + QUrl::toPercentEncoding(providerId).size() + 12;
    return head + QString(size - head.size() - filledTail, QLatin1Char('p')) + tail;
}

} // namespace

TEST(CaptivePortalUrl, TemplatesTheStartRefuses) {
    const QString op42 = QStringLiteral("op42");
    const struct {
        const char* name;
        QString urlTemplate;
        const char* problem; // a part of the reason; nullptr: accepted
        QString providerId = QStringLiteral("op42");
    } rows[] = {
        {"not set: nothing to announce", QString(), nullptr},
        {"the usual template", kTemplate, nullptr},
        {"no {mac}", QStringLiteral("https://provider.example/c?id={id}"), "no {mac}"},
        {"http", QStringLiteral("http://provider.example/c?mac={mac}"), "not an https URL"},
        {"a placeholder of another name",
         QStringLiteral("https://provider.example/c?mac={mac}&ip={ip}"), "placeholder other than"},
        {"a blank", QStringLiteral("https://provider.example/c?mac={mac}&x=a b"),
         "printable ASCII"},
        {"no host", QStringLiteral("https:///capport-api?mac={mac}"), "host name"},
        {"233 bytes filled in", templateOfSize(233, op42), nullptr},
        {"234 bytes filled in", templateOfSize(234, op42),
         "is 234 bytes long, and a DHCP reply takes at most 233"},
        {"an ID counts at its percent-encoded length", templateOfSize(233, op42),
         "\"o&p 2\" filled in it is 238 bytes long", QStringLiteral("o&p 2")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString problem = CaptivePortalUrl::problem(row.urlTemplate, row.providerId);
        if (!row.problem)
            EXPECT_EQ(problem, QString());
        else
            EXPECT_TRUE(problem.contains(QLatin1String(row.problem))) << problem.toStdString();
    }
}
