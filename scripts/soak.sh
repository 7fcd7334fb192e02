#!/usr/bin/env bash
# Soak test: thousands of InitCache/RefreshCache cycles in one process against
# a qrnsecd whose data changes and which is stopped and started at random;
# every answer is checked against the data in force, and resident memory is
# reported at the start and the end. Not part of the test suite; CI runs it
# with a small count.
#   scripts/soak.sh [BUILD_DIR] [CYCLES] [SEED]     (build/gcc, 10000, 1)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/gcc}
cycles=${2:-10000}
seed=${3:-1}
if [ ! -x "$build/tests/qrnauth_soak" ]; then
  cmake --build "$build" --target qrnauth_soak qrnsecd >/dev/null
fi
exec timeout 1800 "$build/tests/qrnauth_soak" --cycles "$cycles" --seed "$seed"
