// The provider page loaded from the reference provider service on loopback: what a right and a
// wrong login do to the allowed list, and a password with "&" arriving whole.

#include "platform/network_page_loader.h"
#include "registry/provider_page.h"
#include "support/fake_clock.h"
#include "support/wait.h"

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

const QByteArray kMac("\x00\x0C\x29\xAB\xCD\xEF", 6);
const QString kPassword = QStringLiteral("p&ss#w=rd x");

class ProviderServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        writeFile("accounts.json", "{\"op42\": \"p&ss#w=rd x\"}");
        writeFile("purchases.json",
                  "[{\"id\": \"op42\", \"mac\": \"000C29ABCDEF\", \"plan\": \"unlimited\","
                  " \"days\": null, \"purchased_at\": \"2026-01-01T00:00:00Z\","
                  " \"ends_at\": null}]");
        service.setProgram(QStringLiteral("python3"));
        service.setArguments(
            {QStringLiteral(TARNIX_SOURCE_DIR "/tools/provider/provider_service.py"),
             QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
             QStringLiteral("0"), QStringLiteral("--accounts"), dir.filePath("accounts.json"),
             QStringLiteral("--purchases"), dir.filePath("purchases.json")});
        service.start();
        ASSERT_TRUE(waitUntil([&] { return service.canReadLine(); }, 10000))
            << service.readAllStandardError().toStdString();
        const QByteArray line = service.readLine().trimmed(); // "provider service on ADDR:PORT"
        const QByteArray host = line.mid(line.lastIndexOf(' ') + 1);
        qputenv("TARNIX_PROVIDER_HOST", host);
        QObject::connect(&loader, &PageLoader::DocumentComplete, [this] { ++completions; });
    }
    void TearDown() override {
        qunsetenv("TARNIX_PROVIDER_HOST");
        service.terminate();
        service.waitForFinished(5000);
    }
    void writeFile(const char* name, const QByteArray& content) {
        QFile file(dir.filePath(QLatin1String(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    bool loadWith(const QString& password) {
        const int before = completions;
        page.setLogin(QStringLiteral("op42"), password);
        page.LoadProviderPage();
        return waitUntil([&] { return completions > before; }, 10000);
    }

    QTemporaryDir dir;
    QProcess service;
    FakeClock clock;
    AllowedList allowed;
    ClientRegistry registry{clock, allowed};
    NetworkPageLoader loader;
    ProviderPage page{loader, registry, allowed, clock};
    int completions = 0;
};

} // namespace

TEST_F(ProviderServiceTest, RightLoginFillsTheAllowedList) {
    ASSERT_TRUE(loadWith(kPassword));
    EXPECT_TRUE(allowed.isAllowed(kMac, clock.now()));
    EXPECT_EQ(page.Timer2().interval(), ProviderPage::kHourlyInterval);
    ASSERT_EQ(registry.entries().size(), 1u);
    EXPECT_EQ(registry.entries()[0]->expiry, QStringLiteral("Never Expires"));
}

TEST_F(ProviderServiceTest, WrongLoginChangesNothingAndRetriesAfterSixtyTicks) {
    ASSERT_TRUE(loadWith(kPassword));
    ASSERT_TRUE(loadWith(QStringLiteral("p"))); // the password cut at its "&"
    EXPECT_TRUE(allowed.isAllowed(kMac, clock.now()));
    EXPECT_EQ(page.Timer2().interval(), ProviderPage::kRetryInterval);

    const int before = completions;
    page.setLogin(QStringLiteral("op42"), kPassword);
    for (int tick = 0; tick < 59; ++tick)
        page.Timer2_Timer();
    EXPECT_FALSE(loader.isLoading());
    page.Timer2_Timer();
    ASSERT_TRUE(waitUntil([&] { return completions > before; }, 10000));
    EXPECT_EQ(page.Timer2().interval(), ProviderPage::kHourlyInterval);
}
