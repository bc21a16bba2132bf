#pragma once
// The provider page: requested at start, at the gateway start, every hour (Timer2) and on a
// client's refresh request; its allowance feed rebuilds the allowed list and marks the clients it
// names "Allowed" in the registry.

#include "common/clock.h"
#include "platform/page_loader.h"
#include "registry/allowed_list.h"
#include "registry/client_registry.h"

#include <QObject>
#include <QTimer>
#include <QUrl>

#include <optional>

class ProviderPage : public QObject {
    Q_OBJECT
public:
    static constexpr int kHourlyInterval = 60000;
    static constexpr int kRetryInterval = 250;
    static constexpr int kTicksPerLoad = 60;
    // Every load carries the operator's password and any client may ask for a refresh: refreshes
    // load at most once in this many milliseconds after the last load.
    static constexpr qint64 kRefreshSpacingMs = 5000;

    ProviderPage(PageLoader& loader, ClientRegistry& registry, AllowedList& allowedMacs,
                 const Clock& clock, QObject* parent = nullptr);

    // The login the next request carries.
    void setLogin(const QString& providerId, const QString& password);
    // The request URL for a login; ID and password percent-encoded.
    static QUrl providerPageUrl(const QString& providerId, const QString& password);

    // Starts Timer2 with its hourly interval.
    void start();
    void LoadProviderPage();
    void Timer2_Timer();
    // A client's refresh request: load now, once the load under way has completed, or at the
    // end of the spacing after the last load; however many arrive meanwhile, one load is left.
    void forceRefresh();
    void EK_DocumentComplete();
    // The monotonic time (Clock::monotonicMs) at which the refresh held back for the spacing
    // loads; none when no refresh is held.
    std::optional<qint64> heldRefreshDueMs() const { return heldRefreshDueMs_; }
    // Loads the held refresh, or holds it again when its time has not come; run by the held
    // refresh's timer.
    void loadHeldRefresh();

    int RefreshTicks = 0;
    QTimer& Timer2() { return timer2_; }
    QTimer& heldRefreshTimer() { return heldRefreshTimer_; }

signals:
    // The page to show as the banner.
    void bannerChanged(const QString& document);
    // A page with the allowance feed has replaced the allowed list.
    void allowancesChanged();

private:
    PageLoader& loader_;
    ClientRegistry& registry_;
    AllowedList& allowedMacs_;
    const Clock& clock_;
    QString providerId_;
    QString password_;
    bool reloadPending_ = false;
    std::optional<qint64> lastLoadMs_;
    std::optional<qint64> heldRefreshDueMs_;
    QTimer timer2_;
    QTimer heldRefreshTimer_;
};
