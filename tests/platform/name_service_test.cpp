// The name service's supervision, with shell scripts standing in for dnsmasq (one that says it
// started and stays, one that fails at once as on a taken port): the configuration it is handed,
// restarts and their growing pauses, stop(), and the reasons it gives. Last, the real dnsmasq on
// loopback answers over UDP and TCP, and a second one finds the port taken.

#include "platform/name_service.h"
#include "support/fake_clock.h"
#include "support/free_port.h"
#include "support/skip_outside_ci.h"
#include "support/wait.h"

#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

namespace {

using State = NameService::State;

// Says it started, as dnsmasq does once its sockets are bound, and stays until ended. It keeps
// the configuration it was handed and counts its launches.
const QByteArray kServes = "[ \"$1\" = --conf-file=- ] && cat > \"$(dirname \"$0\")/seen.conf\"\n"
                           "echo x >> \"$(dirname \"$0\")/launches\"\n"
                           "echo \"dnsmasq[$$]: started, version stand-in cachesize 1000\" >&2\n"
                           "exec sleep 60\n";
// Fails at once, with dnsmasq's words for a taken port.
const QByteArray kPortTaken = "echo x >> \"$(dirname \"$0\")/launches\"\n"
                              "echo >&2\n"
                              "echo \"dnsmasq: failed to create listening socket for "
                              "192.168.11.1: Address already in use\" >&2\n"
                              "exit 2\n";

int modeOf(const QString& path) {
    struct stat status = {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : -1;
}

class NameServiceTest : public ::testing::Test {
protected:
    QString standIn(const QByteArray& body) {
        const QString path = dir.filePath(QStringLiteral("dnsmasq"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n" + body);
        file.close();
        // Run as root, the gateway starts it as the dnsmasq account, which must reach it.
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                            QFileDevice::ExeOwner | QFileDevice::ReadOther | QFileDevice::ExeOther);
        QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFileDevice::ReadOther |
                                              QFileDevice::WriteOther | QFileDevice::ExeOther);
        return path;
    }
    NameServiceOptions options(const QString& program) {
        NameServiceOptions result;
        result.program = program;
        result.gardenDomains = {QStringLiteral("provider.lab"), QStringLiteral("pay.lab")};
        result.firstRestartMs = 100;
        result.maxRestartMs = 400;
        result.steadyRunMs = 1000;
        result.runtimeDirs = {dir.filePath(QStringLiteral("run"))};
        return result;
    }
    void watch(NameService& service) {
        QObject::connect(&service, &NameService::stateChanged,
                         [this](State state, const QString& reason) {
                             changes.push_back({state, reason});
                         });
        QObject::connect(&service, &NameService::restartScheduled,
                         [this](int delayMs) { pauses.push_back(delayMs); });
    }
    int launches() {
        QFile file(dir.filePath(QStringLiteral("launches")));
        return file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) : 0;
    }
    // Ends the running stand-in by signal and waits until the service has seen it end (a
    // watched service).
    bool killRun(NameService& service) {
        const qint64 pid = service.processId();
        const size_t before = pauses.size();
        return pid > 0 && ::kill(pid_t(pid), SIGKILL) == 0 &&
               waitUntil([&] { return pauses.size() > before; });
    }
    bool waitForRunAfter(NameService& service, qint64 oldPid) {
        return waitUntil(
            [&] { return service.state() == State::Running && service.processId() != oldPid; });
    }

    QTemporaryDir dir;
    FakeClock clock;
    std::vector<std::pair<State, QString>> changes;
    std::vector<int> pauses; // each restart's pause, as scheduled
};

} // namespace

TEST_F(NameServiceTest, HandsDnsmasqItsConfigurationPrivatelyAndRunsOnceItSaysItStarted) {
    NameService service(clock, options(standIn(kServes)));
    watch(service);
    service.start();
    EXPECT_EQ(service.state(), State::Starting);
    ASSERT_TRUE(waitUntil([&] { return service.state() == State::Running; }));
    EXPECT_GT(service.processId(), 0);
    EXPECT_EQ(changes, (std::vector<std::pair<State, QString>>{{State::Starting, {}},
                                                               {State::Running, {}}}));

    const QString path = service.configurationPath();
    EXPECT_TRUE(path.startsWith(dir.filePath(QStringLiteral("run/names-")))) << qPrintable(path);
    EXPECT_EQ(modeOf(QFileInfo(path).path()), 0700);
    EXPECT_EQ(modeOf(path), 0600);
    QFile seen(dir.filePath(QStringLiteral("seen.conf")));
    ASSERT_TRUE(seen.open(QIODevice::ReadOnly))
        << "the stand-in was not handed its configuration on standard input";
    const QByteArray text = seen.readAll();
    EXPECT_TRUE(text.contains("\nlisten-address=192.168.11.1\n"));
    EXPECT_TRUE(text.contains("\nport=53\n"));
    EXPECT_TRUE(text.contains("\nnftset=/provider.lab/4#inet#tarnix#garden\n"));
    EXPECT_TRUE(text.contains("\nnftset=/pay.lab/4#inet#tarnix#garden\n"));
    service.start(); // already running: nothing more
    EXPECT_EQ(launches(), 1);
}

TEST_F(NameServiceTest, AKilledDnsmasqIsStartedAgainAfterThePause) {
    NameService service(clock, options(standIn(kServes)));
    watch(service);
    service.start();
    ASSERT_TRUE(waitUntil([&] { return service.state() == State::Running; }));
    const qint64 first = service.processId();
    ASSERT_TRUE(killRun(service));
    ASSERT_TRUE(waitForRunAfter(service, first));
    EXPECT_EQ(pauses, std::vector<int>{100});
    EXPECT_EQ(launches(), 2);
    EXPECT_EQ(changes, (std::vector<std::pair<State, QString>>{
                           {State::Starting, {}},
                           {State::Running, {}},
                           {State::Unavailable, QStringLiteral("dnsmasq ended on signal 9")},
                           {State::Running, {}}}));
}

TEST_F(NameServiceTest, WhatAKilledDnsmasqLeavesInItsProcessGroupIsEnded) {
    // Like dnsmasq's TCP processes: forked off, same process group, copies of its sockets.
    NameService service(clock, options(standIn("sleep 60 &\n"
                                               "echo $! > \"$(dirname \"$0\")/helper\"\n" +
                                               kServes)));
    watch(service);
    service.start();
    ASSERT_TRUE(waitUntil([&] { return service.state() == State::Running; }));
    QFile helperFile(dir.filePath(QStringLiteral("helper")));
    ASSERT_TRUE(helperFile.open(QIODevice::ReadOnly));
    const QString helperStat = QStringLiteral("/proc/%1/stat").arg(helperFile.readAll().trimmed());
    ASSERT_TRUE(QFileInfo::exists(helperStat));
    ASSERT_TRUE(killRun(service));
    // Gone, or a zombie its new parent has not reaped yet.
    EXPECT_TRUE(waitUntil([&] {
        QFile stat(helperStat);
        return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
    }));
}

TEST_F(NameServiceTest, PausesDoubleUpToTheCapAndStartOverAfterASteadyRun) {
    NameService service(clock, options(standIn(kServes)));
    watch(service);
    service.start();
    ASSERT_TRUE(waitUntil([&] { return service.state() == State::Running; }));
    for (int run = 0; run < 4; ++run) {
        const qint64 pid = service.processId();
        ASSERT_TRUE(killRun(service));
        ASSERT_TRUE(waitForRunAfter(service, pid));
    }
    clock.advanceSeconds(1); // this run is a steady one
    ASSERT_TRUE(killRun(service));
    EXPECT_EQ(pauses, (std::vector<int>{100, 200, 400, 400, 100}));
}

TEST_F(NameServiceTest, FailingAtOnceIsTriedEverMoreRarelyAndSaidOnce) {
    NameService service(clock, options(standIn(kPortTaken)));
    watch(service);
    service.start();
    ASSERT_TRUE(waitUntil([&] { return pauses.size() == 4; }, 10000));
    EXPECT_EQ(launches(), 4);
    EXPECT_EQ(pauses, (std::vector<int>{100, 200, 400, 400}));
    EXPECT_EQ(service.state(), State::Unavailable);
    EXPECT_EQ(changes,
              (std::vector<std::pair<State, QString>>{
                  {State::Starting, {}},
                  {State::Unavailable, QStringLiteral("port 53 on 192.168.11.1 is in use")}}));
}

TEST_F(NameServiceTest, NoRestartAfterStop) {
    NameService service(clock, options(standIn(kServes)));
    watch(service);
    service.start();
    ASSERT_TRUE(waitUntil([&] { return service.state() == State::Running; }));
    service.stop();
    EXPECT_EQ(service.state(), State::Stopped);
    ASSERT_TRUE(waitUntil([&] { return service.processId() == 0; }));
    EXPECT_EQ(service.state(), State::Stopped);
    EXPECT_EQ(service.pendingRestartMs(), -1);
    EXPECT_EQ(changes.back(), std::make_pair(State::Stopped, QString()));
}

TEST_F(NameServiceTest, StopCancelsTheRestartThatIsDue) {
    NameService service(clock, options(standIn(kPortTaken)));
    watch(service);
    service.start();
    ASSERT_TRUE(waitUntil([&] { return !pauses.empty(); }));
    service.stop();
    EXPECT_EQ(service.pendingRestartMs(), -1);
    EXPECT_FALSE(waitUntil([&] { return launches() > 1; }, 300));
    EXPECT_EQ(service.state(), State::Stopped);
}

TEST_F(NameServiceTest, StartRightAfterStopLaunchesOnceTheOldRunHasEnded) {
    NameService service(clock, options(standIn(kServes)));
    service.start();
    ASSERT_TRUE(waitUntil([&] { return service.state() == State::Running; }));
    const qint64 first = service.processId();
    service.stop();
    service.start();
    EXPECT_EQ(service.state(), State::Starting);
    ASSERT_TRUE(waitForRunAfter(service, first));
    EXPECT_EQ(launches(), 2);
}

TEST_F(NameServiceTest, ReasonsForAProgramThatIsMissingOrEndsWithoutAWord) {
    struct Row {
        const char* name;
        QByteArray script; // empty: no program at all
        QString reason;
    };
    const Row rows[] = {
        {"not installed", "", "dnsmasq is not installed (%1, Debian package dnsmasq-base)"},
        {"ends without a message", "exit 3\n", "dnsmasq ended with exit code 3"},
        {"ends by a signal", "kill -TERM $$\n", "dnsmasq ended on signal 15"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(dir.filePath(QStringLiteral("dnsmasq")));
        const QString program =
            row.script.isEmpty() ? dir.filePath(QStringLiteral("dnsmasq")) : standIn(row.script);
        NameService service(clock, options(program));
        changes.clear();
        pauses.clear();
        watch(service);
        service.start();
        EXPECT_TRUE(waitUntil([&] { return !pauses.empty(); }));
        EXPECT_EQ(changes.back(),
                  std::make_pair(State::Unavailable,
                                 QString(row.reason).replace(QLatin1String("%1"), program)));
        EXPECT_EQ(pauses, std::vector<int>{100});
    }
}

namespace {

// A query for "localhost", type A, class IN, recursion desired, ID 0x7a11.
const QByteArray kLocalhostQuery = QByteArray::fromHex("7a11 0100 0001 0000 0000 0000"
                                                       "096c6f63616c686f737400 0001 0001");

// The reply to kLocalhostQuery: same ID, a response, no error, an answer ending in 127.0.0.1.
bool answersLocalhost(const QByteArray& reply) {
    return reply.size() > kLocalhostQuery.size() && reply.left(2) == kLocalhostQuery.left(2) &&
           (quint8(reply[2]) & 0x80) && (quint8(reply[3]) & 0x0f) == 0 &&
           reply.mid(6, 2) != QByteArray(2, '\0') && reply.endsWith(QByteArray("\x7f\0\0\x01", 4));
}

} // namespace

TEST_F(NameServiceTest, RealDnsmasqAnswersOverUdpAndTcpAndASecondFindsThePortTaken) {
    NameServiceOptions real = options(QStringLiteral("/usr/sbin/dnsmasq"));
    if (!QFileInfo(real.program).isExecutable())
        SKIP_OUTSIDE_CI("dnsmasq is not installed (Debian package dnsmasq-base)");
    real.listenAddress = QHostAddress(QHostAddress::LocalHost);
    real.port = quint16(freeUdpPort());
    real.gardenDomains.clear();
    NameService service(clock, real);
    QStringList messages;
    QObject::connect(&service, &NameService::message,
                     [&](const QString& line) { messages << line; });
    service.start();
    ASSERT_TRUE(waitUntil([&] { return service.state() != State::Starting; }, 10000));
    ASSERT_EQ(service.state(), State::Running) << qPrintable(service.reason());

    QUdpSocket udp;
    udp.writeDatagram(kLocalhostQuery, real.listenAddress, real.port);
    ASSERT_TRUE(waitUntil([&] { return udp.hasPendingDatagrams(); }));
    QByteArray reply(int(udp.pendingDatagramSize()), '\0');
    udp.readDatagram(reply.data(), reply.size());
    EXPECT_TRUE(answersLocalhost(reply)) << reply.toHex().constData();

    QTcpSocket tcp;
    tcp.connectToHost(real.listenAddress, real.port);
    tcp.write(QByteArray(1, '\0') + char(kLocalhostQuery.size()) + kLocalhostQuery);
    QByteArray stream;
    ASSERT_TRUE(waitUntil([&] {
        stream += tcp.readAll();
        return stream.size() >= 2 &&
               stream.size() >= 2 + (quint8(stream[0]) << 8 | quint8(stream[1]));
    }));
    EXPECT_TRUE(answersLocalhost(stream.mid(2))) << stream.toHex().constData();

    NameService second(clock, real);
    watch(second);
    second.start();
    ASSERT_TRUE(waitUntil([&] { return !pauses.empty(); }, 10000));
    EXPECT_EQ(changes.back(),
              std::make_pair(State::Unavailable,
                             QStringLiteral("port %1 on 127.0.0.1 is in use").arg(real.port)));
    EXPECT_EQ(pauses, std::vector<int>{100});
    EXPECT_EQ(service.state(), State::Running);
    EXPECT_FALSE(messages.filter(QStringLiteral("started, version")).isEmpty());
}
