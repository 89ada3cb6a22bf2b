#!/usr/bin/env bash
# Builds the libcurl the driver links statically: Debian's source package of
# the libcurl installed here (Debian's patches applied), configured for HTTP and
# HTTPS over the system OpenSSL and nothing else, so the driver needs no
# LDAP, SSH, RTMP, Kerberos, IDN, PSL or second TLS library at run time.
#
#   scripts/build_libcurl.sh [PREFIX]     prints the install prefix
#
# The prefix (default ~/.cache/zorvane-adbc/libcurl-<version>-<hash of the
# configure options>) is outside the checkout, so fresh clones reuse it; a
# finished build is marked by PREFIX/.complete and not redone, and builds
# started at once for one prefix wait for each other. The sources come through apt
# with a source list of its own (deb-src of the machine's suites), so the
# system's apt configuration is not touched.
set -euo pipefail

version=$(dpkg-query -W -f='${source:Version}' libcurl4-openssl-dev 2>/dev/null || true)
if [ -z "$version" ]; then
  echo "build_libcurl: libcurl4-openssl-dev is not installed (scripts/setup.sh installs it)" >&2
  exit 1
fi
# What the build is: changing any of these makes a new prefix (and so a
# rebuild); edits elsewhere in this script do not. The CA bundle and
# directory are Debian's, as its own libcurl has them.
options=(
  --disable-shared --enable-static --with-pic
  --with-openssl --without-gnutls --without-nss --without-wolfssl --without-mbedtls
  --without-bearssl --without-rustls --without-libssh --without-libssh2
  --without-librtmp --without-libidn2 --without-libpsl --without-gssapi
  --without-nghttp2 --without-nghttp3 --without-ngtcp2 --without-quiche --without-msh3
  --without-brotli --without-zstd --without-zlib --without-libgsasl
  --disable-ldap --disable-ldaps --disable-rtsp --disable-dict --disable-telnet
  --disable-tftp --disable-pop3 --disable-imap --disable-smb --disable-smtp
  --disable-gopher --disable-mqtt --disable-ftp --disable-file --disable-ntlm-wb
  --disable-manual --disable-docs --enable-threaded-resolver
  --with-ca-bundle=/etc/ssl/certs/ca-certificates.crt --with-ca-path=/etc/ssl/certs
)
recipe=$(printf '%s\n' "${options[@]}" | sha256sum | cut -c1-12)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/zorvane-adbc
prefix=${1:-$cache/libcurl-${version//[:+~]/_}-$recipe}
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-libcurl.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/apt/lists/partial" "$work/apt/parts" "$work/apt/cache"
# deb-src twins of the machine's Debian entries (deb822 and one-line forms).
for f in /etc/apt/sources.list.d/*.sources; do
  if [ -f "$f" ] && grep -q debian.org "$f"; then
    sed 's/^Types:.*/Types: deb-src/' "$f" > "$work/apt/parts/$(basename "$f")"
  fi
done
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  if [ -f "$f" ]; then
    grep -E '^deb .*debian\.org' "$f" | sed 's/^deb /deb-src /' > "$work/apt/parts/$(basename "$f" .list).list" || true
  fi
done
# Downloads run as the caller (not apt's sandbox user, who cannot write to
# the private folders).
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/apt/parts"
          -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache"
          -o APT::Sandbox::User=root -qq)
echo "build_libcurl: fetching Debian's curl $version sources" >&2
apt-get "${apt_opts[@]}" update >&2
(cd "$work" && apt-get "${apt_opts[@]}" source "curl=$version" >/dev/null)
src=$(find "$work" -maxdepth 1 -type d -name 'curl-*' | head -n1)

echo "build_libcurl: configuring and building (HTTP/HTTPS only) into $prefix" >&2
cd "$src"
./configure --prefix="$prefix" "${options[@]}" \
  > "$work/build.log" 2>&1 &&
  make -j"${ZV_JOBS:-2}" -C lib >> "$work/build.log" 2>&1 &&
  make -C lib install >> "$work/build.log" 2>&1 &&
  make -C include install >> "$work/build.log" 2>&1 ||
  { tail -n 40 "$work/build.log" >&2; echo "build_libcurl: failed" >&2; exit 1; }
install -Dm644 libcurl.pc "$prefix/lib/pkgconfig/libcurl.pc"
touch "$prefix/.complete"
echo "$prefix"
