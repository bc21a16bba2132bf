// The provider page loader against a loopback origin: the body markup it yields, and the loads
// that must complete as a page without content, a server whose certificate is not trusted among
// them.

#include "platform/network_page_loader.h"
#include "support/http_origin.h"
#include "support/wait.h"

#include <QFile>
#include <QSslKey>
#include <gtest/gtest.h>

namespace {

QByteArray testData(const char* name) {
    QFile file(QStringLiteral(TARNIX_SOURCE_DIR "/tests/data/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class NetworkPageLoaderTest : public ::testing::Test {
protected:
    NetworkPageLoaderTest() {
        QObject::connect(&loader, &PageLoader::DocumentComplete, [this] { ++completions; });
    }
    bool loadAndWait(const QString& url) {
        const int before = completions;
        loader.Navigate(QUrl(url));
        return waitUntil([&] { return completions > before; });
    }
    bool loadAndWait(const char* path) {
        return loadAndWait(QStringLiteral("http://%1%2").arg(origin.hostAndPort(), path));
    }

    HttpOrigin origin;
    NetworkPageLoader loader{1500};
    int completions = 0;
};

} // namespace

TEST(BodyMarkup, IsWhatStandsInsideTheBodyElement) {
    EXPECT_EQ(bodyMarkup(QStringLiteral("<html><BODY class=x>in <b>side</b></Body></html>")),
              QStringLiteral("in <b>side</b>"));
    EXPECT_EQ(bodyMarkup(QStringLiteral("no body here")), QStringLiteral("no body here"));
}

TEST_F(NetworkPageLoaderTest, FollowsRedirectionsAndYieldsTheBodyAndTheWholeDocument) {
    origin.route("/old", "HTTP/1.1 302 Found\r\nLocation: /new\r\nContent-Length: 0\r\n\r\n");
    origin.route("/new", HttpOrigin::ok("<html><head></head><body><!-- ***Allowed*** --></body>"
                                        "</html>"));
    ASSERT_TRUE(loadAndWait("/old"));
    EXPECT_EQ(loader.bodyText(), QStringLiteral("<!-- ***Allowed*** -->"));
    EXPECT_TRUE(loader.documentText().startsWith(QStringLiteral("<html>")));
    EXPECT_FALSE(loader.isLoading());
}

TEST_F(NetworkPageLoaderTest, FailuresCompleteAsEmptyPages) {
    origin.route("/error", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 21\r\n\r\n"
                           "<body>***Allowed***</body>");
    origin.route("/huge", HttpOrigin::ok(QByteArray(NetworkPageLoader::kMaxBodyBytes + 10, 'x')));
    origin.route("/good", HttpOrigin::ok("<body>good</body>"));
    for (const QString& url :
         {origin.hostAndPort() + "/error", origin.hostAndPort() + "/hang",
          origin.hostAndPort() + "/huge", QStringLiteral("127.0.0.1:1/") /* nothing listens */}) {
        SCOPED_TRACE(url.toStdString());
        ASSERT_TRUE(loadAndWait("/good"));
        ASSERT_EQ(loader.bodyText(), QStringLiteral("good"));
        ASSERT_TRUE(loadAndWait(QStringLiteral("http://") + url));
        EXPECT_EQ(loader.bodyText(), QString());
    }
}

TEST_F(NetworkPageLoaderTest, OverHttpsOnlyAServerWithATrustedCertificateIsAsked) {
    // A self-signed certificate for 127.0.0.1 that nothing trusts unless told to.
    const QSslCertificate certificate(testData("localhost-cert.pem"));
    ASSERT_FALSE(certificate.isNull());
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(certificate);
    tls.setPrivateKey(QSslKey(testData("localhost-key.pem"), QSsl::Ec));
    // Two servers: a connection kept from the first load would spare the second its handshake.
    HttpOrigin untrusted(tls);
    HttpOrigin trusted(tls);
    for (HttpOrigin* origin : {&untrusted, &trusted})
        origin->route("/page", HttpOrigin::ok("<body>***Allowed***</body>"));
    const QString url = QStringLiteral("https://127.0.0.1:%1/page?pwd=secret");

    ASSERT_TRUE(loadAndWait(url.arg(untrusted.port())));
    EXPECT_EQ(loader.bodyText(), QString());
    EXPECT_GE(untrusted.handshakes, 1);
    EXPECT_TRUE(untrusted.requests.isEmpty()) << "the password went to an unproven server";

    const QSslConfiguration systemTrust = QSslConfiguration::defaultConfiguration();
    QSslConfiguration withTestCertificate = systemTrust;
    withTestCertificate.addCaCertificate(certificate);
    QSslConfiguration::setDefaultConfiguration(withTestCertificate);
    const bool loaded = loadAndWait(url.arg(trusted.port()));
    QSslConfiguration::setDefaultConfiguration(systemTrust);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loader.bodyText(), QStringLiteral("***Allowed***"));
}
