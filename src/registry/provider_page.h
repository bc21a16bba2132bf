#pragma once
// The provider page: asked for at start, at the gateway start, every hour and on a client's
// refresh request; its allowance feed rebuilds the allowed list and marks the clients it names
// "Allowed" in the registry. A page without the feed (a refused login, an error, a time-out)
// changes nothing and is asked for again 15 s later.

#include "common/clock.h"
#include "platform/page_loader.h"
#include "registry/allowed_list.h"
#include "registry/client_registry.h"

#include <QObject>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <optional>

class ProviderPage : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kReloadEvery = std::chrono::hours(1);
    static constexpr std::chrono::milliseconds kRetryAfter = std::chrono::seconds(15);
    // Every load carries the operator's password and any client may ask for a refresh: refreshes
    // load at most once in this many milliseconds after the last load.
    static constexpr qint64 kRefreshSpacingMs = 5000;

    ProviderPage(PageLoader& loader, ClientRegistry& registry, AllowedList& allowedMacs,
                 const Clock& clock, QObject* parent = nullptr);

    // The login the next request carries.
    void setLogin(const QString& providerId, const QString& password);
    // The request URL for a login; ID and password percent-encoded.
    static QUrl providerPageUrl(const QString& providerId, const QString& password);

    // Starts the schedule: a load an hour after the last one, 15 s after a page without the feed.
    void start();
    // Ends the schedule and any held refresh.
    void stop();
    void LoadProviderPage();
    // A client's refresh request: load now, once the load under way has completed, or at the
    // end of the spacing after the last load; however many arrive meanwhile, one load is left.
    void forceRefresh();
    // The monotonic time (Clock::monotonicMs) at which the refresh held back for the spacing
    // loads; none when no refresh is held.
    std::optional<qint64> heldRefreshDueMs() const { return heldRefreshDueMs_; }
    // Loads the held refresh, or holds it again when its time has not come; run by the held
    // refresh's timer.
    void loadHeldRefresh();

    const QTimer& reloadTimer() const { return reloadTimer_; }
    const QTimer& heldRefreshTimer() const { return heldRefreshTimer_; }

signals:
    // The page to show as the banner.
    void bannerChanged(const QString& document);
    // A page with the allowance feed has replaced the allowed list.
    void allowancesChanged();

private:
    void pageLoaded();
    void schedule(std::chrono::milliseconds delay);

    PageLoader& loader_;
    ClientRegistry& registry_;
    AllowedList& allowedMacs_;
    const Clock& clock_;
    QString providerId_;
    QString password_;
    bool scheduled_ = false;
    bool reloadPending_ = false;
    std::optional<qint64> lastLoadMs_;
    std::optional<qint64> heldRefreshDueMs_;
    QTimer reloadTimer_;
    QTimer heldRefreshTimer_;
};
