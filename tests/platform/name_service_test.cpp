// The name service's supervision, with shell scripts standing in for dnsmasq (one that says it
// started and stays, one that fails at once as on a taken port): restarts and their growing
// pauses, and stop(). The real dnsmasq, its configuration and the modes of its file are the
// system test's.

#include "platform/name_service.h"
#include "support/fake_clock.h"
#include "support/wait.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

namespace {

using State = NameService::State;

// Says it started, as dnsmasq does once its sockets are bound, and stays until ended.
const QByteArray kServes = "echo \"dnsmasq[$$]: started, version stand-in cachesize 1000\" >&2\n"
                           "exec sleep 60\n";
// Fails at once, as on a taken port.
const QByteArray kPortTaken = "exit 2\n";

class NameServiceTest : public ::testing::Test {
protected:
    QString standIn(const QByteArray& body) {
        const QString path = dir.filePath(QStringLiteral("dnsmasq"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n" + body);
        file.close();
        // Run as root, the gateway starts it as the dnsmasq account, which must reach it.
        EXPECT_EQ(::chmod(QFile::encodeName(path).constData(), 0705), 0);
        EXPECT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0707), 0);
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
        QObject::connect(&service, &NameService::restartScheduled,
                         [this](int delayMs) { pauses.push_back(delayMs); });
    }
    // Ends the running stand-in by signal and waits until the service has seen it end (a
    // watched service).
    bool killRun(NameService& service) {
        const qint64 pid = service.processId();
        const size_t before = pauses.size();
        return pid > 0 && ::kill(pid_t(pid), SIGKILL) == 0 &&
               waitUntil([&] { return pauses.size() > before; });
    }

    QTemporaryDir dir;
    FakeClock clock;
    std::vector<int> pauses; // each restart's pause, as scheduled
};

} // namespace

TEST_F(NameServiceTest, PausesDoubleUpToTheCapAndStartOverAfterASteadyRun) {
    NameService service(clock, options(standIn(kServes)));
    watch(service);
    service.start();
    ASSERT_TRUE(waitUntil([&] { return service.state() == State::Running; }));
    for (int run = 0; run < 4; ++run) {
        const qint64 pid = service.processId();
        ASSERT_TRUE(killRun(service));
        ASSERT_TRUE(waitUntil(
            [&] { return service.state() == State::Running && service.processId() != pid; }));
    }
    clock.advanceSeconds(1); // this run is a steady one
    ASSERT_TRUE(killRun(service));
    EXPECT_EQ(pauses, (std::vector<int>{100, 200, 400, 400, 100}));
}

TEST_F(NameServiceTest, StopEndsTheRunAndCancelsTheRestartThatIsDue) {
    for (const QByteArray& script : {kServes, kPortTaken}) {
        NameService service(clock, options(standIn(script)));
        pauses.clear();
        watch(service);
        service.start();
        ASSERT_TRUE(
            waitUntil([&] { return service.state() == State::Running || !pauses.empty(); }));
        service.stop();
        ASSERT_TRUE(waitUntil([&] { return service.processId() == 0; }));
        EXPECT_EQ(service.state(), State::Stopped);
        EXPECT_EQ(service.pendingRestartMs(), -1);
    }
}
