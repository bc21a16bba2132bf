#include "platform/network_page_loader.h"

#include <QNetworkReply>
#include <QNetworkRequest>

NetworkPageLoader::NetworkPageLoader(int timeLimitMs, QObject* parent) : PageLoader(parent) {
    timeLimit_.setSingleShot(true);
    timeLimit_.setInterval(timeLimitMs);
    connect(&timeLimit_, &QTimer::timeout, this, [this] { finish(true); });
}

NetworkPageLoader::~NetworkPageLoader() {
    abandon();
}

void NetworkPageLoader::Navigate(const QUrl& url) {
    abandon();
    received_.clear();
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    reply_ = network_.get(request);
    connect(reply_, &QNetworkReply::readyRead, this, &NetworkPageLoader::readMore);
    connect(reply_, &QNetworkReply::finished, this, [this] {
        readMore();
        if (!reply_)
            return;
        const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        finish(reply_->error() != QNetworkReply::NoError || status >= 400);
    });
    timeLimit_.start();
}

void NetworkPageLoader::abandon() {
    timeLimit_.stop();
    if (QNetworkReply* reply = reply_.data()) {
        reply_ = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void NetworkPageLoader::readMore() {
    if (!reply_)
        return;
    received_ += reply_->readAll();
    // A provider page is a few kilobytes; anything this large is not one.
    if (received_.size() > kMaxBodyBytes)
        finish(true);
}

void NetworkPageLoader::finish(bool failed) {
    abandon();
    document_ = failed ? QString() : QString::fromUtf8(received_);
    body_ = bodyMarkup(document_);
    received_.clear();
    emit DocumentComplete();
}

QString bodyMarkup(const QString& document) {
    const qsizetype open = document.indexOf(QLatin1String("<body"), 0, Qt::CaseInsensitive);
    if (open < 0)
        return document;
    const qsizetype start = document.indexOf(QLatin1Char('>'), open);
    if (start < 0)
        return document;
    qsizetype end = document.lastIndexOf(QLatin1String("</body"), -1, Qt::CaseInsensitive);
    if (end < start)
        end = document.size();
    return document.mid(start + 1, end - start - 1);
}
