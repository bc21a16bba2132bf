// Drives the firewall inside a test namespace, one command a line on standard input, one answer
// a line ("ok ..." or "error REASON") on standard output:
//   install
//   set-paid [ADDRESS,MAC,SECONDS|never]...
//   counters              -> ok up BYTES PACKETS down BYTES PACKETS
//   remove
// At the end of the input it exits, removing what is still installed.

#include "platform/firewall.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

void answer(const QString& line) {
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

std::optional<PaidClient> parseClient(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 3)
        return std::nullopt;
    bool isAddress = false;
    PaidClient client;
    client.address = QHostAddress(parts[0]).toIPv4Address(&isAddress);
    client.mac = QByteArray::fromHex(parts[1].toLatin1());
    if (parts[2] != QLatin1String("never")) {
        bool ok = false;
        client.secondsLeft = parts[2].toLongLong(&ok);
        if (!ok)
            return std::nullopt;
    }
    if (!isAddress)
        return std::nullopt;
    return client;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption stateDir("state-dir", "Where the earlier forwarding value is kept.",
                                      "dir");
    const QCommandLineOption gateway("gateway", "The gateway's LAN address.", "ip", "192.168.11.1");
    parser.addOptions({stateDir, gateway});
    parser.process(app);
    if (!parser.isSet(stateDir)) {
        std::fprintf(stderr, "firewall probe: --state-dir is needed\n");
        return 2;
    }

    Firewall firewall;
    std::string input;
    while (std::getline(std::cin, input)) {
        const QStringList words =
            QString::fromStdString(input).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        const QString command = words.first();
        if (command == QLatin1String("install")) {
            FirewallSetup setup;
            setup.gatewayAddress = QHostAddress(parser.value(gateway)).toIPv4Address();
            if (firewall.install(setup, parser.value(stateDir)))
                answer(QStringLiteral("ok installed"));
            else
                answer(QStringLiteral("error ") + firewall.errorText());
        } else if (command == QLatin1String("set-paid")) {
            std::vector<PaidClient> clients;
            bool understood = true;
            for (const QString& word : words.mid(1)) {
                const std::optional<PaidClient> client = parseClient(word);
                understood = understood && client.has_value();
                if (client)
                    clients.push_back(*client);
            }
            if (!understood)
                answer(QStringLiteral("error a client is ADDRESS,MAC,SECONDS|never"));
            else if (firewall.setPaidClients(clients))
                answer(QStringLiteral("ok paid %1").arg(clients.size()));
            else
                answer(QStringLiteral("error ") + firewall.errorText());
        } else if (command == QLatin1String("counters")) {
            const std::optional<FirewallCounters> counters = firewall.counters();
            if (counters)
                answer(QStringLiteral("ok up %1 %2 down %3 %4")
                           .arg(counters->upBytes)
                           .arg(counters->upPackets)
                           .arg(counters->downBytes)
                           .arg(counters->downPackets));
            else
                answer(QStringLiteral("error ") + firewall.errorText());
        } else if (command == QLatin1String("remove")) {
            if (firewall.remove())
                answer(QStringLiteral("ok removed"));
            else
                answer(QStringLiteral("error ") + firewall.errorText());
        } else {
            answer(QStringLiteral("error unknown command ") + command);
        }
    }
    return 0;
}
