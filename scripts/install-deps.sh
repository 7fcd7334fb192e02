#!/usr/bin/env bash
# Installs every Debian 12 package the project needs to build, test, fuzz and
# run its demo. The list is the one docs/architecture.md explains.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config g++ clang clang-14 libclang-rt-14-dev
  # libraries the code links
  libcurl4-openssl-dev libssl-dev libpugixml-dev libkrb5-dev gss-ntlmssp
  libldap2-dev libwbclient-dev nlohmann-json3-dev
  # the Unicode case folding data the build compiles in
  unicode-data
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev slapd ldap-utils libnss-wrapper
  libuid-wrapper curl python3 python3-ntlm-auth strace time
  # the recorded ABI of libqrnauth.so (abidw, abidiff)
  abigail-tools
  # the qrnsecd load benchmark (bench/wrk_compare.sh)
  wrk lighttpd
  # several qrnsecd instances behind a load balancer (tests, bench/haproxy_compare.sh)
  haproxy
  # qrnsecd's PostgreSQL store (libpq) and the server its tests start
  libpq-dev postgresql
  # manual pages, the systemd unit check, the Debian packages and their check
  man-db systemd debhelper lintian
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
