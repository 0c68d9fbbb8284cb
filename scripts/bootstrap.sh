#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Idempotent; run as root on Debian 12.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git clang clang-format lld
  libclang-rt-14-dev
  # libraries
  libboost1.81-dev libboost-url1.81-dev libssl-dev zlib1g-dev libplist-dev
  libpsl-dev duktape-dev libsecret-1-dev uuid-dev libsqlite3-dev libidn2-dev
  # Qt UI
  qt6-base-dev qt6-base-dev-tools qt6-l10n-tools qt6-svg-dev libgl-dev fonts-open-sans
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev rapidjson-dev
  libcurl4-openssl-dev wrk linux-perf curl python3
  # real peers started by the tests
  nginx-light openssl tinyproxy stunnel4 microsocks dbus-daemon xvfb xauth x11-utils
  # installation: manual pages, icons, desktop entry and AppStream checks, the Debian package
  scdoc librsvg2-bin desktop-file-utils appstream dpkg-dev file lintian
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "bootstrap: missing packages (${missing[*]}); run as root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# The packaged nginx starts a system instance; tests start their own on loopback.
if command -v systemctl >/dev/null 2>&1; then systemctl disable --now nginx >/dev/null 2>&1 || true; fi
