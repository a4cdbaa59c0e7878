#!/usr/bin/env bash
# Makes the four FTP servers of the test suites available on this machine:
#   vsftpd and pyftpdlib as normal Debian packages;
#   pure-ftpd and proftpd unpacked (not installed) into $VELDRA_FTPD_DIR, because the
#   Debian packages of the three daemons conflict with one another (ftp-server).
# Nothing is started or enabled as a service. Idempotent and quiet when everything is present.
set -euo pipefail
dir="${VELDRA_FTPD_DIR:-/opt/veldra-ftpd}"
here="$(cd "$(dirname "$0")" && pwd)"

# Normal packages, plus the shared libraries the unpacked daemons link against.
"$here/deps.sh" vsftpd python3-pyftpdlib python3-openssl openssl curl libsodium23 libhiredis0.14 libmemcached11 \
  libmemcachedutil2 libpcre2-posix3 libcap2 libacl1 libidn2-0 libssl3 libpam0g libcrypt1

unpack() { # package binary-relative-path
  local pkg="$1" bin="$2"
  [ -e "$dir/root/$bin" ] && return 0
  echo "unpacking $pkg into $dir"
  mkdir -p "$dir/debs" "$dir/root"
  local tmp
  tmp="$(mktemp -d)"
  chmod 755 "$tmp"
  (cd "$tmp" && apt-get download -qq "$pkg" 2>/dev/null) ||
    { export DEBIAN_FRONTEND=noninteractive; apt-get update -qq; (cd "$tmp" && apt-get download -qq "$pkg"); }
  mv "$tmp"/*.deb "$dir/debs/"
  rmdir "$tmp"
  dpkg -x "$dir/debs/${pkg}"_*.deb "$dir/root"
  [ -e "$dir/root/$bin" ] || { echo "ftp-servers.sh: $pkg has no $bin" >&2; exit 1; }
}

unpack pure-ftpd usr/sbin/pure-ftpd
unpack proftpd-core usr/sbin/proftpd
# proftpd's TLS module (mod_tls), for the FTPS suites.
unpack proftpd-mod-crypto usr/lib/proftpd/mod_tls.so
