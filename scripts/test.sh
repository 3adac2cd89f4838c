#!/usr/bin/env bash
# Builds KelvoUp and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh build
ctest --test-dir build --output-on-failure -j"$(nproc)"
