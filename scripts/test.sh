#!/usr/bin/env bash
# Sets up the machine, builds, and runs every test: the whole suite once, then the engine
# tests (and the file actions' and players') again under AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --test-dir build --output-on-failure -j2

for san in address,undefined thread; do
    dir="build-${san%%,*}"
    echo "== engine tests under -fsanitize=$san =="
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQL_BUILD_GUI=OFF -DQL_BUILD_BENCH=OFF \
        -DQL_SANITIZE="$san" >/dev/null
    cmake --build "$dir"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 suppressions=$PWD/tests/tsan.supp" \
        ctest --test-dir "$dir" -L 'engine|actions|players' --output-on-failure -j2
done
