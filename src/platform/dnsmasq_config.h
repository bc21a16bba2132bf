#pragma once
// The configuration the name service hands dnsmasq: a forwarder on one address and port, to the
// resolvers of the gateway host's resolv.conf, that feeds the walled garden's nftables set with
// the whitelisted domains' addresses. Pure text, so every line is tested as a table.

#include <QHostAddress>
#include <QString>
#include <QStringList>

struct DnsmasqSettings {
    QHostAddress listenAddress;
    quint16 port = 53;
    // Domains (and their subdomains) whose IPv4 answers go into inet tarnix's set "garden".
    QStringList gardenDomains;
};

// The configuration file's text, one option a line. Domains that are not plain host names are
// left out, so no value can end a line and start an option of its own.
QString dnsmasqConfiguration(const DnsmasqSettings& settings);

// Whether text is a domain name dnsmasq can be given: letters, digits, "-" and "_" in labels of
// at most 63, joined by single dots, at most 253 in all.
bool isPlainDomainName(const QString& text);
