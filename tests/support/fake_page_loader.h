#pragma once
// A page loader that records where it was sent and completes when the test says so.

#include "platform/page_loader.h"

#include <vector>

class FakePageLoader final : public PageLoader {
public:
    void Navigate(const QUrl& url) override {
        navigations.push_back(url);
        loading = true;
    }
    bool isLoading() const override { return loading; }
    QString bodyText() const override { return body; }
    QString documentText() const override { return body; }
    // Completes the load under way with this body.
    void complete(const QString& pageBody) {
        loading = false;
        body = pageBody;
        emit DocumentComplete();
    }

    std::vector<QUrl> navigations;
    bool loading = false;
    QString body;
};
