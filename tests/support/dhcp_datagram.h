#pragma once
// Builds DHCP client datagrams for tests: a 240-byte BOOTREQUEST with the magic cookie, then
// whatever options the test appends.

#include <QByteArray>
#include <initializer_list>

class DhcpDatagram {
public:
    explicit DhcpDatagram(QByteArray mac = QByteArray("\x00\x0C\x29\xAB\xCD\xEF", 6)) {
        bytes_ = QByteArray(240, '\0');
        bytes_[0] = 1; // BOOTREQUEST
        bytes_[1] = 1; // Ethernet
        bytes_[2] = static_cast<char>(mac.size());
        bytes_.replace(4, 4, QByteArray("\x12\x34\x56\x78", 4));
        bytes_.replace(28, mac.size(), mac);
        bytes_.replace(236, 4, QByteArray("\x63\x82\x53\x63", 4));
    }
    DhcpDatagram& type(int messageType) { return option(53, {messageType}); }
    DhcpDatagram& requested(std::initializer_list<int> address) { return option(50, address); }
    DhcpDatagram& ciaddr(std::initializer_list<int> address) { return field(12, address); }
    DhcpDatagram& flags(int firstByte) { return field(10, {firstByte}); }
    DhcpDatagram& htype(int hardwareType) { return field(1, {hardwareType}); }
    DhcpDatagram& option(int code, std::initializer_list<int> data) {
        bytes_.append(static_cast<char>(code));
        bytes_.append(static_cast<char>(data.size()));
        for (int b : data)
            bytes_.append(static_cast<char>(b));
        return *this;
    }
    QByteArray end() const { return bytes_ + QByteArray(1, '\xFF'); }

private:
    DhcpDatagram& field(int offset, std::initializer_list<int> data) {
        for (int b : data)
            bytes_[offset++] = static_cast<char>(b);
        return *this;
    }
    QByteArray bytes_;
};
