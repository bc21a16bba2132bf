#include "platform/name_service.h"

#include "platform/dnsmasq_config.h"
#include "platform/dnsmasq_log.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int kMaxLineBytes = 1024;
constexpr int kKeptLines = 8;

// Who dnsmasq runs as when the gateway runs as root: dropped to in the child, before exec,
// rather than by dnsmasq itself, because a change of account clears the parent-death signal
// and dnsmasq must not outlive a gateway that was killed (it would hold port 53 against the
// next start). Debian's dnsmasq-base makes the account "dnsmasq"; elsewhere "nobody".
struct ChildAccount {
    bool change = false;
    uid_t uid = 0;
    gid_t gid = 0;
    pid_t parent = 0;
};

ChildAccount childAccount() {
    ChildAccount account;
    account.parent = ::getpid();
    if (::geteuid() != 0)
        return account;
    for (const char* name : {"dnsmasq", "nobody"}) {
        if (const passwd* entry = ::getpwnam(name)) {
            account = {true, entry->pw_uid, entry->pw_gid, account.parent};
            break;
        }
    }
    return account;
}

// Runs in the child between fork and exec, so system calls only.
// - dnsmasq leads a process group of its own, which its TCP processes join. They hold copies
//   of its listening sockets: when dnsmasq itself is killed they are ended with the group, or
//   the restart would find port 53 taken for as long as they wait on their clients.
// - It keeps only the rights to bind port 53 and to write nftables sets, as ambient rights
//   that survive the exec (a gateway of another account holds them as file or service
//   capabilities).
// - It gets SIGTERM when the gateway ends, however the gateway ends.
void prepareChild(const ChildAccount& account) {
    ::setpgid(0, 0);
    if (account.change) {
        ::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0);
        if (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 ||
            ::setuid(account.uid) != 0)
            ::_exit(127);
    }
    constexpr unsigned kPassed[] = {CAP_NET_BIND_SERVICE, CAP_NET_ADMIN};
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct rights[_LINUX_CAPABILITY_U32S_3] = {};
    // Still root (no account to change to): dnsmasq drops to its default account itself.
    if (::geteuid() != 0 && ::syscall(SYS_capget, &header, rights) == 0) {
        __user_cap_data_struct kept[_LINUX_CAPABILITY_U32S_3] = {};
        for (const unsigned right : kPassed) {
            const unsigned word = right / 32, bit = 1u << (right % 32);
            if (rights[word].permitted & bit) {
                kept[word].permitted |= bit;
                kept[word].effective |= bit;
                kept[word].inheritable |= bit;
            }
        }
        // Refused for a right not held: dnsmasq then fails and says why.
        if (::syscall(SYS_capset, &header, kept) == 0) {
            for (const unsigned right : kPassed)
                ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, right, 0, 0);
        }
    }
    ::prctl(PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0);
    if (::getppid() != account.parent) // the gateway ended before the signal was armed
        ::_exit(127);
}

QString executablePath(const QString& program) {
    const QString path =
        QFileInfo(program).isAbsolute() ? program : QStandardPaths::findExecutable(program);
    const QFileInfo file(path);
    return file.isFile() && file.isExecutable() ? path : QString();
}

} // namespace

NameService::NameService(const Clock& clock, NameServiceOptions options, QObject* parent)
    : QObject(parent), clock_(clock), options_(std::move(options)) {
    restartTimer_.setSingleShot(true);
    connect(&restartTimer_, &QTimer::timeout, this, &NameService::launch);
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.setChildProcessModifier([account = childAccount()] { prepareChild(account); });
    connect(&process_, &QProcess::readyReadStandardError, this, &NameService::readMessages);
    connect(&process_, &QProcess::errorOccurred, this, &NameService::processFailed);
    connect(&process_, &QProcess::finished, this, &NameService::processFinished);
}

NameService::~NameService() {
    disconnect(&process_, nullptr, this, nullptr);
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(3000)) {
            process_.kill();
            process_.waitForFinished(1000);
        }
    }
    endProcessGroup();
}

void NameService::start() {
    if (state_ != State::Stopped)
        return;
    nextRestartMs_ = options_.firstRestartMs;
    if (process_.state() != QProcess::NotRunning) {
        // The run ended by stop() still holds the port: the new one follows its end.
        launchWhenEnded_ = true;
        setState(State::Starting);
        return;
    }
    launch();
}

void NameService::stop() {
    restartTimer_.stop();
    launchWhenEnded_ = false;
    if (process_.state() != QProcess::NotRunning)
        process_.terminate();
    setState(State::Stopped);
}

int NameService::pendingRestartMs() const {
    return restartTimer_.isActive() ? restartTimer_.interval() : -1;
}

void NameService::launch() {
    launchedAtMs_ = clock_.monotonicMs();
    partialLine_.clear();
    lastLines_.clear();
    const QString program = executablePath(options_.program);
    if (program.isEmpty()) {
        fail(QStringLiteral("dnsmasq is not installed (%1, Debian package dnsmasq-base)")
                 .arg(options_.program));
        return;
    }
    const QString unwritten = writeConfiguration();
    if (!unwritten.isEmpty()) {
        fail(QStringLiteral("the name service's configuration cannot be written: ") + unwritten);
        return;
    }
    // A restart keeps the service Unavailable, reason and all, until dnsmasq answers: a start
    // that fails the same way again changes nothing the operator sees.
    if (state_ != State::Unavailable)
        setState(State::Starting);
    process_.setProgram(program);
    // Handed as standard input, opened here: the account dnsmasq runs as may not read the
    // gateway's private directory.
    process_.setStandardInputFile(configurationPath_);
    process_.setArguments({QStringLiteral("--conf-file=-")});
    process_.start();
    processGroup_ = process_.processId();
}

// What is left of dnsmasq's process group once dnsmasq has ended: TCP processes of a dnsmasq
// that was killed (on SIGTERM it ends them itself).
void NameService::endProcessGroup() {
    if (processGroup_ > 0)
        ::kill(-pid_t(processGroup_), SIGKILL);
    processGroup_ = 0;
}

// Written anew at each launch: a cleaner of temporary files may have removed it meanwhile.
// Returns what went wrong, empty when the file is there.
QString NameService::writeConfiguration() {
    if (!runtimeDir_ || !QFileInfo(runtimeDir_->path()).isDir()) {
        const QString base = privateRuntimeDir(options_.runtimeDirs);
        runtimeDir_ = base.isEmpty()
                          ? std::make_unique<QTemporaryDir>()
                          : std::make_unique<QTemporaryDir>(base + QStringLiteral("/names-XXXXXX"));
        if (!runtimeDir_->isValid())
            return runtimeDir_->errorString();
    }
    configurationPath_ = runtimeDir_->filePath(QStringLiteral("dnsmasq.conf"));
    const QByteArray text =
        dnsmasqConfiguration({options_.listenAddress, options_.port, options_.gardenDomains})
            .toUtf8();
    QFile file(configurationPath_);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(text) != text.size() || !file.flush())
        return configurationPath_ + QStringLiteral(": ") + file.errorString();
    return QString();
}

void NameService::readMessages() {
    partialLine_ += process_.readAllStandardError();
    qsizetype end;
    while ((end = partialLine_.indexOf('\n')) >= 0) {
        takeLine(partialLine_.left(end));
        partialLine_.remove(0, end + 1);
    }
    if (partialLine_.size() > kMaxLineBytes) {
        takeLine(partialLine_.left(kMaxLineBytes));
        partialLine_.clear();
    }
}

void NameService::takeLine(const QByteArray& line) {
    if (line.trimmed().isEmpty())
        return;
    lastLines_ += line + '\n';
    if (lastLines_.count('\n') > kKeptLines)
        lastLines_.remove(0, lastLines_.indexOf('\n') + 1);
    emit message(QString::fromUtf8(line));
    if ((state_ == State::Starting || state_ == State::Unavailable) && dnsmasqStartedLine(line))
        setState(State::Running);
}

void NameService::processFailed(QProcess::ProcessError error) {
    // A crash or a signal comes with finished(); only a failed exec comes alone.
    if (error != QProcess::FailedToStart || state_ == State::Stopped)
        return;
    processGroup_ = 0;
    fail(QStringLiteral("dnsmasq cannot be started: ") + process_.errorString());
}

void NameService::processFinished(int exitCode, QProcess::ExitStatus status) {
    endProcessGroup();
    readMessages();
    if (!partialLine_.isEmpty())
        takeLine(partialLine_);
    partialLine_.clear();
    if (launchWhenEnded_) {
        launchWhenEnded_ = false;
        launch();
        return;
    }
    if (state_ == State::Stopped)
        return;
    QString reason = dnsmasqFailureReason(lastLines_, options_.listenAddress, options_.port);
    if (reason.isEmpty()) {
        reason = status == QProcess::CrashExit
                     ? QStringLiteral("dnsmasq ended on signal %1").arg(exitCode)
                     : QStringLiteral("dnsmasq ended with exit code %1").arg(exitCode);
    }
    fail(reason);
}

// Unavailable, and a restart after the next pause of the series (the series starts again after
// a steady run): a dnsmasq that fails at once, on a taken port say, is tried ever more rarely.
void NameService::fail(const QString& reason) {
    setState(State::Unavailable, reason);
    if (clock_.monotonicMs() - launchedAtMs_ >= options_.steadyRunMs)
        nextRestartMs_ = options_.firstRestartMs;
    const int delayMs = nextRestartMs_;
    nextRestartMs_ = std::min(nextRestartMs_ * 2, options_.maxRestartMs);
    restartTimer_.start(delayMs);
    emit restartScheduled(delayMs);
}

void NameService::setState(State state, const QString& reason) {
    if (state == state_ && reason == reason_)
        return;
    state_ = state;
    reason_ = reason;
    emit stateChanged(state, reason);
}
