#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need, and any more named on
# the command line (the packaging scripts add their tools). Safe to run again: it only calls
# apt-get when a package is missing.
set -euo pipefail

packages=(
    build-essential clang libclang-rt-14-dev cmake ninja-build
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev libqt6sql6-sqlite libqt6sql6-psql qt6-translations-l10n
    libqcustomplot-dev libqcustomplot2.1-qt6
    libmosquitto-dev mosquitto mosquitto-clients libsystemd-dev openssl
    qt6-httpserver-dev qt6-websockets-dev prometheus dbus-daemon curl
    sqlite3 postgresql postgresql-common xvfb xauth
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
