#!/usr/bin/env bash
# Set-up for a Debian 12 machine: installs what is missing, builds, then either starts the editor on the
# sample library ("start") or runs every test ("test").
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
  local missing=() pkg
  while read -r pkg; do
    [ -n "$pkg" ] || continue
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done < "$root/scripts/packages.txt"
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi
  # The SVG tests write numbers under a comma-decimal locale.
  if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    as_root sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
    as_root locale-gen >/dev/null
  fi
}

# build DIR TARGET [cmake options...]; TARGET "all" builds everything the options enable.
build() {
  local dir=$1 target=$2; shift 2
  cmake -S "$root" -B "$root/$dir" -G Ninja "$@" >/dev/null
  cmake --build "$root/$dir" -j "$jobs" --target "$target"
}

start() {
  install_packages
  build build-release all -DCMAKE_BUILD_TYPE=Release -DTESSALINE_TESTS=OFF -DTESSALINE_BENCH=OFF
  local samples=${TESSALINE_SAMPLES:-${HOME:-.}/Tessaline Samples}
  if [ ! -d "$samples" ]; then
    "$root/build-release/tools/tessaline-samples" "$samples"
  fi
  exec "$root/build-release/tessaline" "$samples"
}

run_tests() {
  install_packages
  build build-release all -DCMAKE_BUILD_TYPE=Release -DTESSALINE_TESTS=ON -DTESSALINE_BENCH=ON
  ctest --test-dir "$root/build-release" --output-on-failure -j "$jobs"
  build build-asan all -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALINE_SANITIZE=ON -DTESSALINE_TESTS=ON -DTESSALINE_BENCH=OFF
  # Mesa's llvmpipe, loaded with dlopen, uses dynamic TLS that LeakSanitizer misreads at exit
  # (a bogus DTLS range crashes its tracer), so dynamic TLS is not tracked.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:intercept_tls_get_addr=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs"
  build build-fuzz fuzz_pcv_reader -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTESSALINE_FUZZ=ON -DTESSALINE_TESTS=OFF -DTESSALINE_BENCH=OFF
  ctest --test-dir "$root/build-fuzz" --output-on-failure
}

run_benchmarks() {
  install_packages
  build build-release all -DCMAKE_BUILD_TYPE=Release -DTESSALINE_TESTS=ON -DTESSALINE_BENCH=ON
  local bench
  for bench in "$root"/build-release/bench/bench_*; do
    [ -x "$bench" ] && "$bench"
  done
}

case "${1:-}" in
  start) start ;;
  test) run_tests ;;
  bench) run_benchmarks ;;
  *) echo "usage: $0 start|test|bench" >&2; exit 2 ;;
esac
