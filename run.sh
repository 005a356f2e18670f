#!/usr/bin/env bash
# Installs what is missing, builds the optimised program and starts it with the given paths.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

build=build/release
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVANE_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"

if [ -x "$build/app/ui/morvane" ]; then
  exec "$build/app/ui/morvane" "$@"
fi
if [ $# -eq 0 ]; then
  exec "$build/app/cli/morvane-batch" --help
fi
exec "$build/app/cli/morvane-batch" "$@"
