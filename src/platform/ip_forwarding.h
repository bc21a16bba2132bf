#pragma once
// IPv4 forwarding of this network namespace (/proc/sys/net/ipv4/ip_forward), switched on while
// the gateway forwards and given back its earlier value afterwards. The earlier value goes to a
// state file before forwarding is switched on, and the file is removed once the value is back:
// a state file found at the next start means a run ended without restoring (a crash, SIGKILL),
// and its value, not the 1 that run left behind, is the one to give back.

#include <QString>
#include <optional>

class IpForwarding {
public:
    static constexpr char kControlPath[] = "/proc/sys/net/ipv4/ip_forward";
    static constexpr char kStateFileName[] = "ip_forward.before";

    explicit IpForwarding(QString controlPath = QString::fromLatin1(kControlPath));

    // Learns the earlier value, the state file's when stateDirectory holds one and the current
    // one otherwise, and writes it to the state file (creating the directory when missing).
    bool remember(const QString& stateDirectory);
    // The value learnt by remember(); none before it, and again after restore().
    std::optional<int> earlier() const { return earlier_; }

    bool switchOn();
    // Writes the earlier value back when it differs and removes the state file. Nothing to do
    // when nothing was remembered. On failure the state file stays for the next start.
    bool restore();

    QString errorText() const { return error_; }

private:
    std::optional<int> readControl();
    bool writeControl(int value);
    QString statePath() const;

    QString controlPath_;
    QString stateDirectory_;
    std::optional<int> earlier_;
    QString error_;
};
