#!/usr/bin/env bash
# Installs the Debian 12 packages that Brindle needs, and only those that are missing, so it is
# safe to run again. Usage: install-deps.sh [build|test|bench]   (default: build)
#   build  compiler, CMake, Qt 6 Widgets, GoogleTest, OpenSSL 3
#   test   build + the real servers and tools the test suite starts on 127.0.0.1 (openssl
#          makes the TLS test certificates)
#   bench  test + the peer download tools the benchmarks compare against
set -euo pipefail
level=${1:-build}

build_pkgs=(g++ make cmake libgtest-dev qt6-base-dev libgl-dev libssl-dev)
test_pkgs=(nginx-light vsftpd python3-pyftpdlib python3 squid ftp-proxy tinyproxy xvfb xauth
           curl clang clang-format libclang-rt-14-dev iproute2 procps locales openssl
           desktop-file-utils appstream man-db groff-base)
bench_pkgs=(aria2 axel lftp time)

case "$level" in
  build) want=("${build_pkgs[@]}") ;;
  test) want=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
  bench) want=("${build_pkgs[@]}" "${test_pkgs[@]}" "${bench_pkgs[@]}") ;;
  *) echo "install-deps.sh: unknown level '$level' (build, test or bench)" >&2; exit 2 ;;
esac

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# The settings tests write numbers under a locale with a decimal comma; without one installed
# that test can only skip. Compiled once from the locales package's sources.
ensure_comma_locale() {
  [ "$level" = build ] && return 0
  locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$' && return 0
  command -v localedef >/dev/null || return 0
  [ -e /usr/share/i18n/locales/de_DE ] || return 0
  if [ "$(id -u)" -eq 0 ]; then
    localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "install-deps: cannot build de_DE.UTF-8" >&2
  elif command -v sudo >/dev/null; then
    sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "install-deps: cannot build de_DE.UTF-8" >&2
  fi
}

if [ ${#missing[@]} -eq 0 ]; then
  ensure_comma_locale
  echo "install-deps: everything for '$level' is installed"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then SUDO=sudo; else
    echo "install-deps: missing ${missing[*]}; run this script as root" >&2; exit 1
  fi
else
  SUDO=
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Package scripts must not start the system-wide services (port 21, 80, 3128...): the tests
# start their own instances on 127.0.0.1 with private configurations.
policy=/usr/sbin/policy-rc.d
added_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod +x "$policy"
  added_policy=1
fi
trap '[ $added_policy -eq 1 ] && $SUDO rm -f "$policy"' EXIT
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
ensure_comma_locale
