#!/usr/bin/env bash
# Records the ABI of libqrnauth.so in abi/libqrnauth.abi, or checks it.
#   scripts/update-abi.sh [BUILD_DIR]          rewrite the record (a deliberate change)
#   scripts/update-abi.sh --check [BUILD_DIR]  compare the built library with the record;
#                                              exit 1 on any difference
# BUILD_DIR (default build/gcc) is a g++ RelWithDebInfo build: the record
# comes from its debug information. Only the types the public headers
# declare count (--headers-dir), and the record holds no path of the build
# (--no-corpus-path, --no-comp-dir-path, --no-show-locs), so any checkout
# and build folder give the same file.
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
if [ "${1:-}" = "--check" ]; then
  check=1
  shift
fi
build=${1:-build/gcc}
library=$(readlink -f "$build/libqrnauth.so")
record=abi/libqrnauth.abi

dump() {  # dump OUT
  abidw --no-corpus-path --no-comp-dir-path --no-show-locs --drop-private-types \
    --drop-undefined-syms --headers-dir include/qrnauth \
    --out-file "$1" "$library"
}

if [ "$check" = 0 ]; then
  dump "$record"
  echo "recorded $record from $library"
  exit 0
fi

fresh=$(mktemp)
trap 'rm -f "$fresh"' EXIT
dump "$fresh"
# abidiff: 0 same; bit 4 (value 4) an ABI change, bit 8 an incompatible one;
# bits 1 and 2 an error of the tool. Any of them fails the check.
if ! abidiff --no-show-locs "$record" "$fresh"; then
  echo "libqrnauth.so differs from $record." >&2
  echo "A deliberate change: run scripts/update-abi.sh and commit $record (see README)." >&2
  exit 1
fi
echo "abi: libqrnauth.so matches $record"
