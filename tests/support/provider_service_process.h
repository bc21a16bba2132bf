#pragma once
// The reference provider service run on loopback for a test, with accounts and purchases of the
// test's own; TARNIX_PROVIDER_HOST points at it while it runs.

#include "support/wait.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

class ProviderServiceProcess {
public:
    bool start(const QByteArray& accountsJson, const QByteArray& purchasesJson) {
        if (!dir_.isValid() || !write("accounts.json", accountsJson) ||
            !write("purchases.json", purchasesJson))
            return false;
        process_.setProgram(QStringLiteral("python3"));
        process_.setArguments(
            {QStringLiteral(TARNIX_SOURCE_DIR "/tools/provider/provider_service.py"),
             QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
             QStringLiteral("0"), QStringLiteral("--accounts"), dir_.filePath("accounts.json"),
             QStringLiteral("--purchases"), dir_.filePath("purchases.json")});
        process_.start();
        if (!waitUntil([&] { return process_.canReadLine(); }, 10000))
            return false;
        const QByteArray line = process_.readLine().trimmed(); // "provider service on ADDR:PORT"
        qputenv("TARNIX_PROVIDER_HOST", line.mid(line.lastIndexOf(' ') + 1));
        return true;
    }
    ~ProviderServiceProcess() {
        qunsetenv("TARNIX_PROVIDER_HOST");
        process_.terminate();
        process_.waitForFinished(5000);
    }
    QByteArray errors() { return process_.readAllStandardError(); }

private:
    bool write(const char* name, const QByteArray& content) {
        QFile file(dir_.filePath(QLatin1String(name)));
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    QTemporaryDir dir_;
    QProcess process_;
};
