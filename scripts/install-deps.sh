#!/bin/sh
# Installs what building, running and testing the gateway needs, from Debian 12's packages.
set -eu
# ca-certificates: the authorities in /etc/ssl/certs that an https provider's certificate is
# checked against (Qt's TLS backend comes with libqt6network6, OpenSSL with it).
# dnsmasq-base: the LAN's name service, run by the gateway (and the name service test's
# Internet-side resolver). libnftables-dev, libnetfilter-conntrack-dev: the firewall for devices
# without proxy settings, and netbase, whose /etc/protocols nftables needs to read the table;
# nftables and conntrack: the tests look at the table and the entries.
# dpkg-dev and file: cpack -G DEB finds the binaries with file and reads the libraries' packages
# with dpkg-shlibdeps (a clean tree has neither); debootstrap: the
# package test installs it into a clean Debian tree, and boots that tree with systemd-nspawn
# (systemd-container) to run the service under a real service manager.
packages="cmake g++ make qt6-base-dev libgl-dev libgtest-dev libgmock-dev fonts-dejavu-core
  ca-certificates iproute2 python3 libcap2-bin busybox isc-dhcp-client curl chromium openssl
  clang libclang-rt-14-dev dnsmasq-base
  pkg-config libnftables-dev libnetfilter-conntrack-dev netbase nftables conntrack dpkg-dev file debootstrap systemd-container"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
fi
