#pragma once
// GatewayShell: the gateway as the operator's window sees it, without widgets. It owns the
// services for the whole run, runs the start-up, gateway start and shutdown sequences, and tells
// the window view what to show through signals.

#include "address/dhcp_server.h"
#include "common/clock.h"
#include "common/lan_network.h"
#include "platform/adapter_udp_socket.h"
#include "platform/arp_probe.h"
#include "platform/message_box.h"
#include "platform/notify_area.h"
#include "platform/page_loader.h"
#include "proxy/proxy_server.h"
#include "registry/allowed_list.h"
#include "registry/client_registry.h"
#include "registry/provider_page.h"
#include "shell/lan_services.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

// Where the gateway serves. Fixed for the product; tests put it on loopback.
struct GatewayEndpoints {
    LanNetwork network;
    // The name service and the firewall for devices without proxy settings; tests that run
    // beside the machine's own services go without.
    bool lanServices = true;
};

class GatewayShell : public QObject {
    Q_OBJECT
public:
    enum class Visibility { Shown, Hidden, Minimised };

    // The platform services the model talks to; they outlive it.
    struct Services {
        MessageBox& messages;
        NotifyArea& notifyArea;
        const Clock& clock;
        PageLoader& pageLoader;
    };

    static constexpr char kStartCaption[] = "Start the Gateway";
    static constexpr char kWorkingCaption[] = "Gateway Working...";
    static constexpr int kHousekeepingIntervalMs = 2500;

    explicit GatewayShell(Services services, GatewayEndpoints endpoints = {},
                          QObject* parent = nullptr);
    ~GatewayShell() override;

    // Reads the settings and starts the gateway when a login is stored; otherwise loads the
    // provider page for the banner.
    void startUp();
    // The "Start the Gateway" button: binds the services and loads the provider page.
    void startGateway();
    // File > Exit: asks first, then quits.
    void askToExit();
    // The close control and SIGTERM: saves the settings, stops everything, exit code 0.
    void quit();
    // Hides into the notification area (minimises where there is none).
    void hideWindow();
    void toggleAutoHide();
    // Setup > serve devices without proxy settings: kept in the settings file, on by default.
    void toggleTransparentAccess();
    // A mouse message on the notification icon: a double-click brings the window back.
    void trayActivated(int trayMessage);

    // The two login boxes; a change from typing or from the program re-arms the start button.
    void setProviderText(const QString& text);
    void setPwdText(const QString& text);
    QString providerText() const { return providerText_; }
    QString pwdText() const { return pwdText_; }

    QString buttonCaption() const { return buttonCaption_; }
    bool buttonEnabled() const { return buttonEnabled_; }
    bool autoHideChecked() const { return autoHideChecked_; }
    bool transparentChecked() const { return transparentChecked_; }
    // The name service's and the firewall's state, one line for the window.
    QString servicesText() const { return lanServices_.statusText(); }
    LanServices& lanServices() { return lanServices_; }
    Visibility visibility() const { return visibility_; }
    bool isUnloaded() const { return unloaded_; }

    const AllowedList& allowedMacs() const { return allowedMacs_; }
    AdapterUdpSocket& dhcpSocket() { return dhcpSocket_; }
    ProxyServer& proxy() { return proxy_; }
    QTimer& housekeepingTimer() { return housekeepingTimer_; }
    ClientRegistry& registry() { return registry_; }
    DhcpServer& dhcpServer() { return dhcpServer_; }
    ProviderPage& providerPage() { return providerPage_; }
    // The display of the client tree; the registry shows every entry on it from now on.
    void setTreeDisplay(TreeDisplay* display) { registry_.setDisplay(display); }

    // Asks for the provider page with the login now in the boxes.
    void loadProviderPage();

    // Housekeeping every 2.5 s once the gateway works: idle proxy connections, the paid
    // clients, the current numbers.
    void housekeeping();
    void updateCounters();

    // The captions of the "Current Numbers" frame.
    struct Counters {
        QString connections = QStringLiteral("0");
        QString clients = QStringLiteral("0");
        QString purchases = QStringLiteral("0");
        QString upTotal;
        QString downTotal;
    };
    const Counters& counters() const { return counters_; }
    // "999.9 Kb" below one megabyte, "1.0 Mb" from one on.
    static QString byteTotalText(double megabytes);

signals:
    void providerTextChanged(const QString& text);
    void pwdTextChanged(const QString& text);
    void buttonChanged();
    void autoHideChanged(bool checked);
    void transparentChanged(bool checked);
    void servicesChanged();
    void visibilityChanged(GatewayShell::Visibility visibility);
    void countersChanged();
    // The window is gone: the program ends with this exit code.
    void unloaded(int exitCode);

private:
    bool editLogin(QString& field, const QString& text);
    void setButton(const QString& caption, bool enabled);
    void setVisibility(Visibility visibility);
    bool openSockets();
    void startFailed();
    bool captivePortalRefused();
    void unload(int exitCode);
    void closeAllSockets();
    void reportDhcpFailure(const QString& reason);

    Services services_;
    GatewayEndpoints endpoints_;
    QString providerText_;
    QString pwdText_;
    QString buttonCaption_ = QString::fromLatin1(kStartCaption);
    bool buttonEnabled_ = true;
    bool autoHideChecked_ = false;
    bool transparentChecked_ = true;
    Visibility visibility_ = Visibility::Shown;
    bool startFailing_ = false;
    bool unloaded_ = false;
    bool dhcpFailureShown_ = false;

    AllowedList allowedMacs_;
    AdapterUdpSocket dhcpSocket_;
    QTimer housekeepingTimer_;
    ClientRegistry registry_;
    DhcpServer dhcpServer_;
    ProviderPage providerPage_;
    ProxyServer proxy_;
    LanServices lanServices_;
    ArpProbe arpProbe_;
    Counters counters_;
};
