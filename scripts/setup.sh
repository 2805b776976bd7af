#!/bin/bash
# Installs the Debian 12 packages the build and the tests need, only those
# that are missing; `apt-get update` runs only when something must be
# installed. osslsigncode must be 2.7 or later (its built-in time-stamping
# authority): Debian 12's main archive has 2.5, so it comes from
# bookworm-backports, which is enabled when needed.
#
#   scripts/setup.sh
set -euo pipefail

packages=(
  cmake ninja-build g++ gcc        # native build
  g++-mingw-w64-x86-64-posix       # Windows cross build
  wine wine64                      # Windows tests (64-bit Wine only)
  osslsigncode openssl             # test PKI and signing
  libgtest-dev googletest          # GoogleTest: native package, sources for MinGW
  libbenchmark-dev libmsgpack-dev  # benchmarks (msgpack-c as the comparison peer)
  clang-14 libclang-rt-14-dev      # fuzz targets (libFuzzer, sanitizers)
  nlohmann-json3-dev               # orbhost's JSON
  libboost-dev                     # orbhost serve's HTTP server (Boost.Beast, header-only)
  prometheus                       # serve's tests: promtool and a real Prometheus server
  wrk                              # serve's load benchmark
  python3 faketime                 # the test time-stamp server
  gcovr                            # scripts/coverage.sh
  chromium chromium-driver python3-selenium  # the dashboard's browser test
)
min_osslsigncode=2.7

as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

installed() {
  [[ $(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null) == installed ]]
}

osslsigncode_recent() {
  local version
  installed osslsigncode || return 1
  version=$(dpkg-query -W -f='${Version}' osslsigncode)
  dpkg --compare-versions "$version" ge "$min_osslsigncode"
}

missing=()
for p in "${packages[@]}"; do
  [[ $p == osslsigncode ]] && continue
  installed "$p" || missing+=("$p")
done
need_osslsigncode=0
osslsigncode_recent || need_osslsigncode=1

if [[ ${#missing[@]} -eq 0 && $need_osslsigncode -eq 0 ]]; then
  echo "setup: all packages present"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
if [[ $need_osslsigncode -eq 1 ]] &&
  ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "setup: enabling bookworm-backports (osslsigncode >= $min_osslsigncode)"
  as_root tee /etc/apt/sources.list.d/backports.sources >/dev/null <<'SOURCES'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
fi

to_install=("${missing[@]}")
[[ $need_osslsigncode -eq 1 ]] && to_install+=("osslsigncode (bookworm-backports)")
echo "setup: installing ${to_install[*]}"
as_root apt-get update -qq
if [[ ${#missing[@]} -gt 0 ]]; then
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [[ $need_osslsigncode -eq 1 ]]; then
  as_root apt-get install -y -qq --no-install-recommends -t bookworm-backports osslsigncode
  osslsigncode_recent || {
    echo "setup: osslsigncode $min_osslsigncode or later could not be installed" >&2
    exit 1
  }
fi
echo "setup: done"
