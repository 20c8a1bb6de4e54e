#!/usr/bin/env bash
# Builds in release mode and measures zmodem against lrzsz on the virtual null-modem.
# Prints one table; asserts nothing. Options are passed to run.py (--quick for a short run).
set -euo pipefail
cd "$(dirname "$0")/.."
command -v sz >/dev/null || { echo "bench needs lrzsz (apt-get install -y lrzsz)"; exit 1; }
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-release -j "$(nproc)" >/dev/null
exec python3 bench/run.py --build build-release "$@"
