#pragma once
// What serves devices without proxy settings: the name service on the LAN address and the
// firewall table that captures them while unpaid and forwards them once paid. Started with the
// gateway and ended with it; the gateway runs on without either when it cannot have them, and
// this says so once and keeps a line for the window.

#include "common/clock.h"
#include "common/lan_network.h"
#include "platform/firewall.h"
#include "platform/name_service.h"
#include "registry/allowed_list.h"
#include "registry/client_registry.h"

#include <QObject>
#include <QString>
#include <memory>
#include <tuple>
#include <vector>

class LanServices : public QObject {
    Q_OBJECT
public:
    struct Setup {
        quint32 gatewayAddress = LanNetwork().gateway.value(); // host byte order
        quint16 proxyPort = LanNetwork().proxyPort;
        NameServiceOptions names;
        // Where the firewall keeps the forwarding state of a run that may crash.
        QString stateDirectory;
        // Off for tests that run beside the machine's own services.
        bool enabled = true;
    };

    LanServices(const Clock& clock, const ClientRegistry& registry, const AllowedList& allowed,
                Setup setup, QObject* parent = nullptr);
    ~LanServices() override;

    // The gateway starts: the name service, and the firewall when transparent access is on.
    void start(bool transparent);
    // The operator's switch, while the gateway runs.
    void setTransparent(bool transparent);
    // The gateway ends: the table is removed and forwarding given back, dnsmasq ended.
    void stop();

    // Brings the paid clients' set up to date when who is paid, or where, has changed.
    void refreshPaidClients();
    // Bytes the kernel forwarded from and to the LAN since the table was installed.
    quint64 forwardedUp() const { return counters_.upBytes; }
    quint64 forwardedDown() const { return counters_.downBytes; }
    // Reads the table's counters (every housekeeping tick).
    void readCounters();

    // One line for the window: the name service and devices without proxy settings.
    QString statusText() const;

signals:
    void statusChanged();
    // Something the operator should be told once (a service the gateway runs without).
    void notice(const QString& text);

private:
    void installFirewall();
    void removeFirewall();
    void onNamesChanged(NameService::State state, const QString& reason);

    const Clock& clock_;
    const ClientRegistry& registry_;
    const AllowedList& allowed_;
    Setup setup_;
    NameService names_;
    std::unique_ptr<Firewall> firewall_;
    bool started_ = false;
    bool transparent_ = false;
    QString firewallProblem_; // why devices without proxy settings are not served
    bool namesNoticeGiven_ = false;
    bool firewallNoticeGiven_ = false;
    // The paid set as last given to the firewall: address, hardware address, end (-1: never).
    std::vector<std::tuple<quint32, QByteArray, qint64>> appliedKey_;
    bool setApplied_ = false;
    FirewallCounters counters_;
    FirewallCounters countersBefore_; // of tables removed by the operator's switch
};
