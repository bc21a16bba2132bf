#include "registry/provider_page.h"

#include "common/app_info.h"
#include "common/deployment.h"
#include "registry/allowance_feed.h"

ProviderPage::ProviderPage(PageLoader& loader, ClientRegistry& registry, AllowedList& allowedMacs,
                           const Clock& clock, QObject* parent)
    : QObject(parent), loader_(loader), registry_(registry), allowedMacs_(allowedMacs),
      clock_(clock) {
    reloadTimer_.setSingleShot(true);
    connect(&reloadTimer_, &QTimer::timeout, this, &ProviderPage::LoadProviderPage);
    heldRefreshTimer_.setSingleShot(true);
    // A coarse timer may fire a little early, which would only hold the refresh again.
    heldRefreshTimer_.setTimerType(Qt::PreciseTimer);
    connect(&heldRefreshTimer_, &QTimer::timeout, this, &ProviderPage::loadHeldRefresh);
    connect(&loader_, &PageLoader::DocumentComplete, this, &ProviderPage::pageLoaded);
}

void ProviderPage::setLogin(const QString& providerId, const QString& password) {
    providerId_ = providerId;
    password_ = password;
}

QUrl ProviderPage::providerPageUrl(const QString& providerId, const QString& password) {
    // Encoded so that an "&", "#" or "=" in a password can neither cut it nor add parameters.
    const QByteArray url = Deployment::providerOrigin().toUtf8() +
                           "/Gateway/ProviderBanner.asp?id=" + QUrl::toPercentEncoding(providerId) +
                           "&pwd=" + QUrl::toPercentEncoding(password) +
                           "&ver=" + AppInfo::versionText().toLatin1();
    return QUrl::fromEncoded(url, QUrl::StrictMode);
}

void ProviderPage::start() {
    scheduled_ = true;
    schedule(kReloadEvery);
}

void ProviderPage::stop() {
    scheduled_ = false;
    reloadTimer_.stop();
    heldRefreshTimer_.stop();
    heldRefreshDueMs_.reset();
}

void ProviderPage::schedule(std::chrono::milliseconds delay) {
    if (scheduled_)
        reloadTimer_.start(delay);
}

void ProviderPage::LoadProviderPage() {
    // A load that starts after a refresh was asked for brings what that refresh wanted, whatever
    // started it.
    heldRefreshDueMs_.reset();
    heldRefreshTimer_.stop();
    lastLoadMs_ = clock_.monotonicMs();
    schedule(kReloadEvery);
    loader_.Navigate(providerPageUrl(providerId_, password_));
}

void ProviderPage::forceRefresh() {
    // Neither a purchase's refresh is lost nor can repeated refreshes keep the feed from ever
    // completing: one reload waits for the load under way (which may have started before the
    // purchase), and one for the end of the spacing.
    if (loader_.isLoading()) {
        reloadPending_ = true;
        return;
    }
    if (heldRefreshDueMs_)
        return;
    const qint64 now = clock_.monotonicMs();
    if (lastLoadMs_ && now - *lastLoadMs_ < kRefreshSpacingMs) {
        heldRefreshDueMs_ = *lastLoadMs_ + kRefreshSpacingMs;
        heldRefreshTimer_.start(static_cast<int>(*heldRefreshDueMs_ - now));
        return;
    }
    LoadProviderPage();
}

void ProviderPage::loadHeldRefresh() {
    if (!heldRefreshDueMs_)
        return;
    heldRefreshDueMs_.reset();
    heldRefreshTimer_.stop();
    forceRefresh();
}

void ProviderPage::pageLoaded() {
    emit bannerChanged(loader_.documentText());
    const std::optional<std::vector<AllowanceRecord>> records =
        readAllowanceFeed(loader_.bodyText());
    if (!records) {
        schedule(kRetryAfter);
    } else {
        registry_.RemoveIdleClients();
        allowedMacs_.clear();
        const QDateTime now = clock_.now();
        for (const AllowanceRecord& record : *records) {
            // An allowance of nothing, or one already spent, admits nobody.
            if (record.days <= 0)
                continue;
            const std::optional<MacAddress> mac = MacAddress::fromBytes(record.hardwareAddress);
            if (!mac)
                continue; // no Ethernet address: it admits no one
            const QDateTime end = allowanceEnd(now, record.days);
            registry_.AllowClient(*mac, end);
            allowedMacs_.add(*mac, end);
        }
        emit allowancesChanged();
    }
    if (reloadPending_) {
        reloadPending_ = false;
        forceRefresh();
    }
}
