#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test through ctest.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

build=build/test
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
  -DMORVANE_SANITIZE=ON -DMORVANE_WERROR="$werror" -DMORVANE_BUILD_BENCH=OFF \
  "${launcher[@]}"
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"
