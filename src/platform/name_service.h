#pragma once
// The LAN's name service: Debian's dnsmasq as a child process, answering on the gateway's LAN
// address (UDP and TCP) with what the gateway host's own resolvers say, and feeding the walled
// garden's nftables set. Its configuration is written at each start into a private directory
// and handed to dnsmasq as standard input; dnsmasq ends with the gateway, however the gateway
// ends. A dnsmasq that ends is started again after a growing pause. When it cannot run (not
// installed, port taken) the gateway runs on without it and the state says why.

#include "common/clock.h"
#include "common/lan_network.h"
#include "platform/private_runtime_dir.h"

#include <QHostAddress>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <memory>

class QTemporaryDir;

// What to run and where; the defaults are the product's.
struct NameServiceOptions {
    // Where Debian's dnsmasq-base puts it.
    QString program = QStringLiteral("/usr/sbin/dnsmasq");
    QHostAddress listenAddress = QHostAddress(LanNetwork().gateway.value());
    quint16 port = 53;
    // Whitelisted domains: their IPv4 answers go into the set "garden" of table inet tarnix.
    QStringList gardenDomains;
    // After a run ends: the first restart after firstRestartMs, each next one twice as late,
    // up to maxRestartMs; a run of steadyRunMs or more starts the series again.
    int firstRestartMs = 1000;
    int maxRestartMs = 60000;
    int steadyRunMs = 60000;
    // Tried in order for the configuration; the system's temporary directory after them.
    QStringList runtimeDirs = defaultRuntimeDirCandidates();
};

class NameService final : public QObject {
    Q_OBJECT
public:
    enum class State {
        Stopped,     // not started, or stop() was called
        Starting,    // dnsmasq launched, not answering yet
        Running,     // dnsmasq said it started: its sockets are bound
        Unavailable, // it could not start or it ended; reason() says why; it is being tried
                     // again (after a pause) and stays Unavailable until dnsmasq answers
    };
    Q_ENUM(State)

    explicit NameService(const Clock& clock, NameServiceOptions options = {},
                         QObject* parent = nullptr);
    // Ends dnsmasq, waiting a bounded time, so that port 53 is free when the gateway has ended.
    ~NameService() override;

    // From Stopped: writes the configuration and launches dnsmasq. Otherwise nothing.
    void start();
    // Ends dnsmasq (SIGTERM, without waiting) and cancels any restart.
    void stop();

    State state() const { return state_; }
    // Why the service is Unavailable, for the operator; empty in the other states.
    QString reason() const { return reason_; }
    // The running dnsmasq's process ID; 0 when none runs.
    qint64 processId() const { return process_.processId(); }
    // The pause before the restart that is due; -1 when none is.
    int pendingRestartMs() const;
    // The configuration file dnsmasq is handed; empty before the first start.
    QString configurationPath() const { return configurationPath_; }

signals:
    void stateChanged(NameService::State state, const QString& reason);
    // After a failed or ended run: the next try comes in delayMs.
    void restartScheduled(int delayMs);
    // One line dnsmasq wrote on its standard error ("dnsmasq[PID]: …").
    void message(const QString& line);

private:
    void launch();
    QString writeConfiguration();
    void readMessages();
    void takeLine(const QByteArray& line);
    void processFailed(QProcess::ProcessError error);
    void processFinished(int exitCode, QProcess::ExitStatus status);
    void endProcessGroup();
    void fail(const QString& reason);
    void setState(State state, const QString& reason = QString());

    const Clock& clock_;
    NameServiceOptions options_;
    State state_ = State::Stopped;
    QString reason_;
    QProcess process_;
    QTimer restartTimer_;
    int nextRestartMs_ = 0;
    qint64 launchedAtMs_ = 0;
    qint64 processGroup_ = 0;
    bool launchWhenEnded_ = false;
    std::unique_ptr<QTemporaryDir> runtimeDir_;
    QString configurationPath_;
    QByteArray partialLine_;
    QByteArray lastLines_;
};
