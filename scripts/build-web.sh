#!/usr/bin/env bash
# Builds the web page (the update core in WebAssembly, the page and its worker) into build-web/site
# (or $1/site). Needs what install-build-deps.sh --web installs.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-web}
# Emscripten's JavaScript tools use Debian's node modules (node-acorn); a Node.js that is not
# Debian's own does not look there by itself.
export NODE_PATH=${NODE_PATH:+$NODE_PATH:}/usr/share/nodejs
emcmake cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" -j"$(nproc)"
echo "the web page is in $dir/site"
