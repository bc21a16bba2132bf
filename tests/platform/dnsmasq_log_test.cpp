// Reading dnsmasq's standard error: the operator's reason for a start that failed, from the
// messages dnsmasq 2.90 writes (taken from real runs). The line that says it answers is the name
// service test's.

#include "platform/dnsmasq_log.h"

#include <gtest/gtest.h>

static const QHostAddress kLan(QStringLiteral("192.168.11.1"));

TEST(DnsmasqLog, FailureReasonNamesWhatTheOperatorCanFix) {
    const std::tuple<const char*, QByteArray, QString> rows[] = {
        {"port taken (UDP or TCP, address or wildcard)",
         "\ndnsmasq: failed to create listening socket for 192.168.11.1: Address already in use\n",
         "port 53 on 192.168.11.1 is in use"},
        {"control characters are blanked", "dnsmasq: bad option at line 3 of x\x1b[2J",
         "dnsmasq could not start: bad option at line 3 of x [2J"},
        {"a run that ended on its own has no fatal message",
         "dnsmasq[6999]: started, version 2.90 cachesize 1000\n"
         "dnsmasq[6999]: exiting on receipt of SIGTERM\n",
         ""},
    };
    for (const auto& [name, lines, reason] : rows)
        EXPECT_EQ(dnsmasqFailureReason(lines, kLan, 53), reason) << name;
}
