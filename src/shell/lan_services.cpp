#include "shell/lan_services.h"

#include "common/app_info.h"
#include "registry/paid_clients.h"

#include <QHostAddress>
#include <tuple>

namespace {

// A paid set as it stands, its allowances as ends in time: it changed only when this did.
std::vector<std::tuple<quint32, QByteArray, qint64>> paidSetKey(const std::vector<PaidClient>& paid,
                                                                qint64 nowSeconds) {
    std::vector<std::tuple<quint32, QByteArray, qint64>> key;
    for (const PaidClient& client : paid)
        key.emplace_back(client.address, client.mac,
                         client.secondsLeft ? nowSeconds + *client.secondsLeft : -1);
    return key;
}

} // namespace

LanServices::LanServices(const Clock& clock, const ClientRegistry& registry,
                         const AllowedList& allowed, Setup setup, QObject* parent)
    : QObject(parent), clock_(clock), registry_(registry), allowed_(allowed),
      setup_(std::move(setup)), names_(clock, setup_.names) {
    connect(&names_, &NameService::stateChanged, this, &LanServices::onNamesChanged);
}

LanServices::~LanServices() {
    stop();
}

void LanServices::start(bool transparent) {
    if (started_ || !setup_.enabled)
        return;
    started_ = true;
    transparent_ = transparent;
    names_.start();
    if (transparent_)
        installFirewall();
    emit statusChanged();
}

void LanServices::setTransparent(bool transparent) {
    if (transparent == transparent_)
        return;
    transparent_ = transparent;
    if (!started_)
        return;
    if (transparent_)
        installFirewall();
    else
        removeFirewall();
    emit statusChanged();
}

void LanServices::stop() {
    if (!started_)
        return;
    started_ = false;
    removeFirewall();
    names_.stop();
}

void LanServices::installFirewall() {
    firewall_ = std::make_unique<Firewall>();
    FirewallSetup setup;
    setup.gatewayAddress = setup_.gatewayAddress;
    setup.proxyPort = setup_.proxyPort;
    setApplied_ = false;
    if (!firewall_->install(setup, setup_.stateDirectory)) {
        firewallProblem_ = firewall_->errorText();
        firewall_.reset();
        if (!firewallNoticeGiven_) {
            firewallNoticeGiven_ = true;
            emit notice(QStringLiteral("Devices without proxy settings cannot be served: ") +
                        firewallProblem_ +
                        QStringLiteral(".\r\nClients with proxy settings are served as before."));
        }
        return;
    }
    firewallProblem_.clear();
    refreshPaidClients();
}

void LanServices::removeFirewall() {
    if (!firewall_)
        return;
    readCounters();
    countersBefore_ = counters_;
    firewall_->remove();
    firewall_.reset();
    setApplied_ = false;
}

void LanServices::refreshPaidClients() {
    if (!firewall_)
        return;
    const QDateTime now = clock_.now();
    const std::vector<PaidClient> paid = paidClients(registry_, allowed_, now);
    auto key = paidSetKey(paid, now.toSecsSinceEpoch());
    if (setApplied_ && key == appliedKey_)
        return;
    firewall_->setPaidClients(paid);
    appliedKey_ = std::move(key);
    setApplied_ = true;
}

void LanServices::readCounters() {
    if (!firewall_)
        return;
    if (const std::optional<FirewallCounters> now = firewall_->counters()) {
        counters_.upBytes = countersBefore_.upBytes + now->upBytes;
        counters_.downBytes = countersBefore_.downBytes + now->downBytes;
    }
}

void LanServices::onNamesChanged(NameService::State state, const QString& reason) {
    if (state == NameService::State::Unavailable && !namesNoticeGiven_) {
        namesNoticeGiven_ = true;
        emit notice(QStringLiteral("The name service on ") +
                    QHostAddress(setup_.gatewayAddress).toString() +
                    QStringLiteral(" is not available: ") + reason +
                    QStringLiteral(".\r\nThe gateway runs on without it and tries again."));
    }
    emit statusChanged();
}

QString LanServices::statusText() const {
    if (!setup_.enabled)
        return QString();
    QString names;
    switch (names_.state()) {
    case NameService::State::Running:
        names = QStringLiteral("Names: answering");
        break;
    case NameService::State::Unavailable:
        names = QStringLiteral("Names: unavailable (") + names_.reason() + QStringLiteral(")");
        break;
    default:
        names = QStringLiteral("Names: starting");
        break;
    }
    QString devices;
    if (!transparent_)
        devices = QStringLiteral("devices without proxy settings: off");
    else if (firewall_)
        devices = QStringLiteral("devices without proxy settings: served");
    else if (!firewallProblem_.isEmpty())
        devices = QStringLiteral("devices without proxy settings: not served");
    else
        devices = QStringLiteral("devices without proxy settings: waiting for the start");
    return names + QStringLiteral("; ") + devices;
}
