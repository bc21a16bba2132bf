#pragma once
// The page loader behind the provider banner: asked to navigate to a URL, it answers with one
// DocumentComplete per load, after which the loaded markup can be read.

#include <QObject>
#include <QString>
#include <QUrl>

class PageLoader : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Starts loading url. A load still under way is abandoned and reports no completion.
    virtual void Navigate(const QUrl& url) = 0;
    virtual bool isLoading() const = 0;
    // The markup inside the body element of the last completed document (the whole document
    // where it has none); "" after a load that failed.
    virtual QString bodyText() const = 0;
    // The whole last completed document, for showing.
    virtual QString documentText() const = 0;

signals:
    void DocumentComplete();
};
