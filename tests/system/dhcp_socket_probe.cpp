// Runs the address service's UDP socket on its own inside a test namespace: binds it like the
// gateway does and answers every datagram with broadcasts, so a script can see where they go.
// Exit codes: 0 answered them all, 2 timed out, 3 could not bind, 4 a send failed.

#include "platform/adapter_udp_socket.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption address("address", "Local address to bind on.", "ip", "192.168.11.1");
    const QCommandLineOption port("port", "Local UDP port.", "port", "67");
    const QCommandLineOption subnetBroadcast("subnet-broadcast", "Second reply target.", "ip",
                                             "192.168.11.255");
    const QCommandLineOption count("count", "Datagrams to answer before exiting.", "n", "1");
    const QCommandLineOption timeout("timeout-ms", "Give up after this long.", "ms", "10000");
    parser.addOptions({address, port, subnetBroadcast, count, timeout});
    parser.process(app);

    AdapterUdpSocket udp;
    if (!udp.bind(Ipv4Address::fromText(parser.value(address)).value_or(Ipv4Address()),
                  quint16(parser.value(port).toUInt()))) {
        std::fprintf(stderr, "probe: Bind failed: port %s on the adapter holding %s\n",
                     qPrintable(parser.value(port)), qPrintable(parser.value(address)));
        return 3;
    }
    std::printf("bound\n");
    std::fflush(stdout);

    const int wanted = parser.value(count).toInt();
    const QStringList targets{"255.255.255.255", parser.value(subnetBroadcast)};
    int answered = 0;
    QObject::connect(
        &udp, &AdapterUdpSocket::received, [&](const QByteArray& datagram, Ipv4Address) {
            for (const QString& target : targets) {
                if (!udp.send("reply:" + datagram,
                              Ipv4Address::fromText(target).value_or(Ipv4Address()), 68)) {
                    std::fprintf(stderr, "probe: sending to %s:68 failed\n", qPrintable(target));
                    app.exit(4);
                    return;
                }
            }
            std::printf("answered %lld bytes\n", static_cast<long long>(datagram.size()));
            std::fflush(stdout);
            if (++answered == wanted)
                app.exit(0);
        });
    QObject::connect(&udp, &AdapterUdpSocket::failed, [](const QString& reason) {
        std::fprintf(stderr, "probe: socket error: %s\n", qPrintable(reason));
    });
    QTimer::singleShot(parser.value(timeout).toInt(), &app, [&] {
        std::fprintf(stderr, "probe: timed out after %d of %d datagrams\n", answered, wanted);
        app.exit(2);
    });
    return app.exec();
}
