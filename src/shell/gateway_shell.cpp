#include "shell/gateway_shell.h"

#include "address/captive_portal_url.h"
#include "address/wpad_script.h"
#include "common/app_info.h"
#include "common/deployment.h"
#include "shell/save_ini.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QLocale>

namespace {

const QString kSetup = QStringLiteral("Setup");
const QString kProviderIdKey = QStringLiteral("ProviderID");
const QString kProviderPwdKey = QStringLiteral("ProviderPWD");
const QString kAutoHideKey = QStringLiteral("AutoHide");
const QString kTransparentKey = QStringLiteral("TransparentAccess");
const QString kIni = QString::fromLatin1(kIniFileName);
const QString kCrLf = QStringLiteral("\r\n");

QString startFailureText() {
    return QStringLiteral("Before running Tarnix Gateway, you need to") + kCrLf +
           QStringLiteral("setup your hardware to agree with Tarnix's basic requirements.") +
           kCrLf + kCrLf + QStringLiteral("Go to ") + QString::fromLatin1(AppInfo::kMakerSite) +
           QStringLiteral(" and read the Hardware Configuration section.");
}

QString captivePortalRefusalText(const QString& problem) {
    return QStringLiteral("Tarnix Gateway cannot start: the captive-portal API address") + kCrLf +
           QStringLiteral("TARNIX_CAPPORT_URL=") + Deployment::captivePortalUrl() + kCrLf +
           QStringLiteral("cannot be given to the clients: ") + problem + QStringLiteral(".") +
           kCrLf + kCrLf +
           QStringLiteral("It must be an https URL with {mac} (and {id} where the provider ID "
                          "goes),") +
           kCrLf + QStringLiteral("e.g. https://provider.example/capport-api?id={id}&mac={mac}") +
           kCrLf + QStringLiteral("Leave TARNIX_CAPPORT_URL unset to announce none.");
}

QString exitQuestionText() {
    return QStringLiteral("Exiting this application will stop") + kCrLf +
           QStringLiteral("the proxy which is serving your clients.") + kCrLf + kCrLf +
           QStringLiteral("Are you sure you want to finish this application?");
}

QString settingsUnwritableText() {
    return QStringLiteral("The settings file ") + settingsPath(kIni) +
           QStringLiteral(" cannot be written.") + kCrLf +
           QStringLiteral("The provider ID, password and auto-hide choice typed here") + kCrLf +
           QStringLiteral("will not be kept for the next start.");
}

LanServices::Setup lanServicesSetup(const GatewayEndpoints& endpoints) {
    LanServices::Setup setup;
    setup.gatewayAddress = endpoints.network.gateway.value();
    setup.proxyPort = endpoints.network.proxyPort;
    setup.names.listenAddress = QHostAddress(endpoints.network.gateway.value());
    setup.names.gardenDomains = Deployment::whitelist();
    setup.stateDirectory = QFileInfo(settingsPath(kIni)).absolutePath();
    setup.enabled = endpoints.lanServices;
    return setup;
}

} // namespace

GatewayShell::GatewayShell(Services services, GatewayEndpoints endpoints, QObject* parent)
    : QObject(parent), services_(services), endpoints_(std::move(endpoints)),
      registry_(services.clock, allowedMacs_, nullptr, endpoints_.network),
      dhcpServer_(dhcpSocket_, registry_, services.clock, endpoints_.network),
      providerPage_(services.pageLoader, registry_, allowedMacs_, services.clock),
      proxy_({registry_, providerPage_, services.clock},
             endpoints_.network.gateway.text().toLatin1(),
             WpadScript(endpoints_.network.proxyEndpoint())),
      lanServices_(services.clock, registry_, allowedMacs_, lanServicesSetup(endpoints_)) {
    housekeepingTimer_.setInterval(kHousekeepingIntervalMs);
    connect(&housekeepingTimer_, &QTimer::timeout, this, &GatewayShell::housekeeping);
    connect(&dhcpSocket_, &AdapterUdpSocket::received, &dhcpServer_, &DhcpServer::handleDatagram);
    connect(&dhcpSocket_, &AdapterUdpSocket::failed, this, &GatewayShell::reportDhcpFailure);
    dhcpServer_.setCaptivePortalUrl(Deployment::captivePortalUrl());
    connect(&services_.notifyArea, &NotifyArea::mouseMessage, this, &GatewayShell::trayActivated);
    // A purchase or a lease changes who the kernel forwards at once, not at the next tick.
    connect(&providerPage_, &ProviderPage::allowancesChanged, &lanServices_,
            &LanServices::refreshPaidClients);
    connect(&dhcpServer_, &DhcpServer::leaseGranted, &lanServices_,
            &LanServices::refreshPaidClients);
    connect(&lanServices_, &LanServices::statusChanged, this, &GatewayShell::servicesChanged);
    connect(&lanServices_, &LanServices::notice, this, [this](const QString& text) {
        services_.messages.inform(QString::fromLatin1(AppInfo::kTitle), text);
    });
}

GatewayShell::~GatewayShell() {
    closeAllSockets();
}

void GatewayShell::startUp() {
    proxy_.upMegabytes = 0;
    proxy_.downMegabytes = 0;
    allowedMacs_.clear();
    providerPage_.start();

    services_.notifyArea.add(QString::fromLatin1(AppInfo::kTitle));

    setProviderText(ReadINI(kSetup, kProviderIdKey, QString(), kIni));
    setPwdText(ReadINI(kSetup, kProviderPwdKey, QString(), kIni));
    if (!ReadINI(kSetup, kAutoHideKey, QString(), kIni).isEmpty()) {
        autoHideChecked_ = true;
        emit autoHideChanged(true);
        hideWindow();
    }
    transparentChecked_ = ReadINI(kSetup, kTransparentKey, QString(), kIni) != QLatin1String("0");
    emit transparentChanged(transparentChecked_);

    // Told now rather than found out at the next start with the typed login gone.
    if (!CanWriteINI(kIni))
        services_.messages.inform(QString::fromLatin1(AppInfo::kTitle), settingsUnwritableText());

    if (captivePortalRefused())
        return;
    if (!providerText_.isEmpty() && !pwdText_.isEmpty())
        startGateway();
    else
        loadProviderPage();
}

void GatewayShell::startGateway() {
    if (unloaded_ || startFailing_)
        return;
    if (providerText_.isEmpty()) {
        setButton(QString::fromLatin1(kStartCaption), true);
        loadProviderPage();
        return;
    }
    if (captivePortalRefused())
        return;
    if (!openSockets()) {
        startFailed();
        return;
    }
    housekeepingTimer_.start();
    lanServices_.start(transparentChecked_);
    loadProviderPage();
}

// Binds the address service and opens the proxy listener, saving the login in between.
// Sockets already open from an earlier start are left as they are.
bool GatewayShell::openSockets() {
    if (!dhcpSocket_.isOpen()) {
        if (!dhcpSocket_.bind(endpoints_.network.gateway, endpoints_.network.dhcpPort))
            return false;
        // Without the right to send ARP the service still runs, offering without asking first.
        if (arpProbe_.open(endpoints_.network.gateway.text()))
            dhcpServer_.setAddressProbe(&arpProbe_);
    }
    WriteINI(kSetup, kProviderIdKey, providerText_, kIni);
    WriteINI(kSetup, kProviderPwdKey, pwdText_, kIni);
    setButton(QString::fromLatin1(kWorkingCaption), false);

    return proxy_.isListening() || proxy_.listen(endpoints_.network.proxyPort);
}

void GatewayShell::startFailed() {
    startFailing_ = true;
    services_.messages.inform(QString::fromLatin1(AppInfo::kTitle), startFailureText(),
                              [this] { unload(1); });
}

// An API address the clients could not be given, with the provider ID now in the box, stops
// the start before anything serves: a gateway never runs half-configured.
bool GatewayShell::captivePortalRefused() {
    const QString problem =
        CaptivePortalUrl::problem(Deployment::captivePortalUrl(), providerText_);
    if (problem.isEmpty())
        return false;
    startFailing_ = true;
    services_.messages.inform(QString::fromLatin1(AppInfo::kTitle),
                              captivePortalRefusalText(problem), [this] { unload(1); });
    return true;
}

void GatewayShell::loadProviderPage() {
    providerPage_.LoadProviderPage();
}

void GatewayShell::setProviderText(const QString& text) {
    if (editLogin(providerText_, text))
        emit providerTextChanged(text);
}

void GatewayShell::setPwdText(const QString& text) {
    if (editLogin(pwdText_, text))
        emit pwdTextChanged(text);
}

// Either login box changed, by typing or by the program: the start button is armed again.
bool GatewayShell::editLogin(QString& field, const QString& text) {
    if (text == field)
        return false;
    field = text;
    providerPage_.setLogin(providerText_, pwdText_);
    dhcpServer_.setProviderId(providerText_);
    proxy_.setProviderId(providerText_);
    setButton(QString::fromLatin1(kStartCaption), true);
    return true;
}

void GatewayShell::setButton(const QString& caption, bool enabled) {
    if (caption == buttonCaption_ && enabled == buttonEnabled_)
        return;
    buttonCaption_ = caption;
    buttonEnabled_ = enabled;
    emit buttonChanged();
}

void GatewayShell::askToExit() {
    services_.messages.ask(QStringLiteral("Exit"), exitQuestionText(), [this](bool ok) {
        if (ok)
            quit();
    });
}

void GatewayShell::quit() {
    unload(0);
}

void GatewayShell::unload(int exitCode) {
    if (unloaded_)
        return;
    unloaded_ = true;
    // Saved whatever the boxes hold, so the last typed login survives even an unstarted run.
    WriteINI(kSetup, kProviderIdKey, providerText_, kIni);
    WriteINI(kSetup, kProviderPwdKey, pwdText_, kIni);
    WriteINI(kSetup, kAutoHideKey, autoHideChecked_ ? QStringLiteral("1") : QString(), kIni);
    WriteINI(kSetup, kTransparentKey,
             transparentChecked_ ? QStringLiteral("1") : QStringLiteral("0"), kIni);
    services_.notifyArea.remove();
    housekeepingTimer_.stop();
    providerPage_.stop();
    lanServices_.stop();
    closeAllSockets();
    emit unloaded(exitCode);
}

void GatewayShell::closeAllSockets() {
    dhcpSocket_.close();
    proxy_.closeAll();
}

// The operator sees one "Error" at a time, never blocking; the system's reason goes to the log.
void GatewayShell::reportDhcpFailure(const QString& reason) {
    qWarning("DHCP socket: %s", qPrintable(reason));
    if (dhcpFailureShown_)
        return;
    dhcpFailureShown_ = true;
    services_.messages.inform(QString::fromLatin1(AppInfo::kTitle), QStringLiteral("Error"),
                              [this] { dhcpFailureShown_ = false; });
}

void GatewayShell::housekeeping() {
    proxy_.housekeeping();
    lanServices_.refreshPaidClients();
    lanServices_.readCounters();
    updateCounters();
}

QString GatewayShell::byteTotalText(double megabytes) {
    const QLocale locale = QLocale::system();
    if (megabytes < 1)
        return locale.toString(megabytes * 1000, 'f', 1) + QStringLiteral(" Kb");
    return locale.toString(megabytes, 'f', 1) + QStringLiteral(" Mb");
}

void GatewayShell::updateCounters() {
    counters_.connections = QString::number(proxy_.slotCount());
    counters_.clients = QString::number(registry_.clientCount());
    counters_.purchases = QString::number(proxy_.purchaseCount, 'g', 15);
    // The proxy's bytes and what the kernel forwarded for devices without proxy settings.
    counters_.upTotal = byteTotalText(proxy_.upMegabytes +
                                      lanServices_.forwardedUp() / ProxyServer::kBytesPerMegabyte);
    counters_.downTotal = byteTotalText(proxy_.downMegabytes + lanServices_.forwardedDown() /
                                                                   ProxyServer::kBytesPerMegabyte);
    emit countersChanged();
}

void GatewayShell::toggleTransparentAccess() {
    transparentChecked_ = !transparentChecked_;
    lanServices_.setTransparent(transparentChecked_);
    emit transparentChanged(transparentChecked_);
}

void GatewayShell::toggleAutoHide() {
    autoHideChecked_ = !autoHideChecked_;
    emit autoHideChanged(autoHideChecked_);
}

// Without a notification area a hidden window could never be brought back: minimise instead.
void GatewayShell::hideWindow() {
    setVisibility(services_.notifyArea.isAvailable() ? Visibility::Hidden : Visibility::Minimised);
}

void GatewayShell::setVisibility(Visibility visibility) {
    visibility_ = visibility;
    emit visibilityChanged(visibility);
}

void GatewayShell::trayActivated(int trayMessage) {
    if (trayMessage == NotifyArea::kLeftDoubleClick)
        setVisibility(Visibility::Shown);
}
