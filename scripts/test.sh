#!/usr/bin/env bash
# Installs the packages, checks the include seam, builds with g++ and clang
# (-Werror), runs the whole test suite, compares the library's ABI with the
# record in abi/, then runs the suite once more under AddressSanitizer and
# UndefinedBehaviorSanitizer (built with clang), checks the installed package
# with a small host and with the CLI built on its public headers only, and
# runs each fuzz target for a bounded time.
#   scripts/test.sh            everything
#   QRNAUTH_QUICK=1 scripts/test.sh   only the g++ build and its tests
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

scripts/install-deps.sh

echo "== seam: includes across the platform layer"
scripts/check-seam.sh

build() {  # build DIR [cmake options...]
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== g++ build and tests"
build build/gcc -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++
ctest --test-dir build/gcc -j "$jobs" --output-on-failure --timeout 180

echo "== abi: libqrnauth.so against the recorded abi/libqrnauth.abi"
scripts/update-abi.sh --check build/gcc

echo "== soak: load and refresh cycles against a qrnsecd that changes and restarts"
scripts/soak.sh build/gcc "${QRNAUTH_SOAK_CYCLES:-1000}"

if [ "${QRNAUTH_QUICK:-0}" = 1 ]; then
  exit 0
fi

echo "== packaging: install and build a host against the installed package"
rm -rf build/stage
cmake --install build/gcc --prefix "$root/build/stage" >/dev/null
cmake -S examples/host -B build/host -G Ninja -DCMAKE_PREFIX_PATH="$root/build/stage" >/dev/null
cmake --build build/host
LD_LIBRARY_PATH="$root/build/stage/lib" build/host/qrnauth_host
PKG_CONFIG_PATH="$root/build/stage/lib/pkgconfig" \
  g++ -std=c++20 examples/host/host.cpp $(PKG_CONFIG_PATH="$root/build/stage/lib/pkgconfig" pkg-config --cflags --libs qrnauth) -o build/host/qrnauth_host_pc
LD_LIBRARY_PATH="$root/build/stage/lib" build/host/qrnauth_host_pc

echo "== the CLI against the installed public headers only"
rm -rf build/cli
cmake -S tools/qrnauth -B build/cli -G Ninja -DCMAKE_PREFIX_PATH="$root/build/stage" >/dev/null
cmake --build build/cli
LD_LIBRARY_PATH="$root/build/stage/lib" build/cli/qrnauth --help >/dev/null

echo "== Debian packages: build, lintian, install, run"
# Built from a copy of the tree (no build/ or .git), so dpkg-buildpackage
# leaves the packages in build/deb and nothing in the source tree. Without
# tests, benchmarks and fuzz targets: one more build of the library and the
# two programs. lintian fails the step on errors only.
deb_start=$SECONDS
rm -rf build/deb
mkdir -p build/deb/src
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C build/deb/src -xf -
launcher=""
command -v ccache >/dev/null && launcher=ccache
(cd build/deb/src && DEB_BUILD_OPTIONS="nocheck noddebs parallel=$jobs" CMAKE_CXX_COMPILER_LAUNCHER=$launcher \
  dpkg-buildpackage -b -uc -us >../build.log 2>&1) || { tail -n 40 build/deb/build.log; exit 1; }
lintian --fail-on error build/deb/*.changes
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get install -y -qq --no-install-recommends ./build/deb/*.deb >/dev/null
/usr/bin/qrnauth --help >/dev/null
/usr/bin/qrnsecd --help >/dev/null
for page in /usr/share/man/man1/qrnauth.1.gz /usr/share/man/man8/qrnsecd.8.gz; do
  zcat "$page" | grep -q '^\.SH NAME'
  [ -z "$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)" ]
done
bash -c 'source /usr/share/bash-completion/completions/qrnauth && complete -p qrnauth' >/dev/null
g++ -std=c++20 examples/host/host.cpp $(pkg-config --cflags --libs qrnauth) -o build/deb/host
build/deb/host
# Removed again (their maintainer scripts run too), so the machine is as before.
$sudo apt-get purge -y -qq qrnauth qrnsecd libqrnauth-dev libqrnauth0 >/dev/null
echo "Debian packages built, checked and installed in $((SECONDS - deb_start)) s"

# The sanitizer build is also the clang build: it compiles everything,
# benchmarks included, with clang and -Werror.
echo "== clang: AddressSanitizer + UndefinedBehaviorSanitizer"
# It also builds the fuzz targets, so one instrumented build serves both.
build build/asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DQRNAUTH_SANITIZE=ON -DQRNAUTH_FUZZ=ON -DQRNAUTH_BENCH=ON
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan -j "$jobs" --output-on-failure --timeout 300

# A fixed seed and run count make the fuzz stage repeatable from run to run.
echo "== fuzz targets (bounded)"
for target in build/asan/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="fuzz/corpus/${name%_fuzz}"
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "-- $name"
  ASAN_OPTIONS=detect_leaks=0 "$target" -seed=1 -runs="${QRNAUTH_FUZZ_RUNS:-60000}" \
    -max_total_time="${QRNAUTH_FUZZ_SECONDS:-30}" -rss_limit_mb=2048 "$work" 2>&1 | tail -n 2
  rm -rf "$work"
done
echo "== all checks passed"
