#!/usr/bin/env bash
# The README's first command: installs the packages, builds the library and
# its tools (Release, without tests and benchmarks), shows the effective
# configuration of the example machine hive data/example.reg, and runs
# `qrnauth demo`: authorization end to end against a private qrnsecd.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh

echo "== building (build/demo)"
# Release at -O2: g++ 12 at -O3 raises false -Wrestrict warnings inside
# std::string, which -Werror would turn into a failed build.
cmake -S "$root" -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DQRNAUTH_TESTS=OFF -DQRNAUTH_BENCH=OFF >/dev/null
cmake --build build/demo -j "$(nproc)"

# A private user hive and temporary folder, so the demo changes nothing of
# this machine's configuration.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'Windows Registry Editor Version 5.00\r\n\r\n' >"$work/user.reg"
export QRNAUTH_MACHINE_HIVE="$root/data/example.reg"
export QRNAUTH_USER_HIVE="$work/user.reg"
export TMPDIR="$work"

echo "== qrnauth config show (machine hive: data/example.reg)"
build/demo/qrnauth config show

echo "== qrnauth demo (a private qrnsecd with data/sample.json)"
build/demo/qrnauth demo --server build/demo/qrnsecd --data "$root/data/sample.json"
