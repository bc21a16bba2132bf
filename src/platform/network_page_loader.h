#pragma once
// The page loader over HTTP or HTTPS: follows redirections, but never from https to http, and
// completes a load that fails, answers with an error status, takes longer than the time limit or
// brings more than 4 MiB as an empty page. Over HTTPS the server's certificate must check out
// against the system's certificate authorities (/etc/ssl/certs): a certificate error is never
// ignored, so the request, password and all, goes to no server that could not prove its name.

#include "platform/page_loader.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QTimer>

class QNetworkReply;

class NetworkPageLoader final : public PageLoader {
    Q_OBJECT
public:
    static constexpr int kDefaultTimeLimitMs = 30000;
    static constexpr qint64 kMaxBodyBytes = 4 * 1024 * 1024;

    explicit NetworkPageLoader(int timeLimitMs = kDefaultTimeLimitMs, QObject* parent = nullptr);
    ~NetworkPageLoader() override;

    void Navigate(const QUrl& url) override;
    bool isLoading() const override { return !reply_.isNull(); }
    QString bodyText() const override { return body_; }
    QString documentText() const override { return document_; }

private:
    void abandon();
    void readMore();
    void finish(bool failed);

    QNetworkAccessManager network_;
    QPointer<QNetworkReply> reply_;
    QTimer timeLimit_;
    QByteArray received_;
    QString document_;
    QString body_;
};

// The markup between the body element's start tag and its end tag; all of it where there is no
// body element.
QString bodyMarkup(const QString& document);
