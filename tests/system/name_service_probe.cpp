// Runs the gateway's name service on its own inside a test namespace, with the product's
// defaults unless told otherwise. Prints "state NAME[ REASON]" on each change and "pid N" once
// dnsmasq answers (stdout), dnsmasq's own messages on stderr; SIGTERM or SIGINT stops the
// service and ends the program (exit 0).

#include "common/clock.h"
#include "platform/name_service.h"
#include "platform/unix_signal_watcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QMetaEnum>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption address("address", "Address to answer on.", "ip");
    const QCommandLineOption port("port", "Port to answer on.", "port");
    const QCommandLineOption program("program", "The dnsmasq to run.", "path");
    const QCommandLineOption garden("garden", "Comma-separated whitelisted domains.", "domains");
    parser.addOptions({address, port, program, garden});
    parser.process(app);

    NameServiceOptions options;
    if (parser.isSet(address))
        options.listenAddress = QHostAddress(parser.value(address));
    if (parser.isSet(port))
        options.port = quint16(parser.value(port).toUInt());
    if (parser.isSet(program))
        options.program = parser.value(program);
    options.gardenDomains = parser.value(garden).split(QLatin1Char(','), Qt::SkipEmptyParts);

    SystemClock clock;
    NameService service(clock, options);
    const QMetaEnum states = QMetaEnum::fromType<NameService::State>();
    QObject::connect(&service, &NameService::stateChanged,
                     [&](NameService::State state, const QString& reason) {
                         std::printf("state %s%s%s\n", states.valueToKey(int(state)),
                                     reason.isEmpty() ? "" : " ", qPrintable(reason));
                         if (state == NameService::State::Running)
                             std::printf("pid %lld\n", static_cast<long long>(service.processId()));
                         std::fflush(stdout);
                     });
    QObject::connect(&service, &NameService::message,
                     [](const QString& line) { std::fprintf(stderr, "%s\n", qPrintable(line)); });
    UnixSignalWatcher stopSignals;
    QObject::connect(&stopSignals, &UnixSignalWatcher::stopRequested, &app, [&] {
        service.stop();
        app.quit();
    });
    service.start();
    std::printf("config %s\n", qPrintable(service.configurationPath()));
    std::fflush(stdout);
    return app.exec();
}
