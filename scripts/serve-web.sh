#!/usr/bin/env bash
# Serves the web page on http://127.0.0.1:8080 (or the port in $1), a secure context for Web
# Serial, with the right content types. Builds it first when build-web/site is missing.
#   bash scripts/serve-web.sh [PORT] [SITE]
set -euo pipefail
cd "$(dirname "$0")/.."
port=${1:-8080}
site=${2:-build-web/site}
[ -f "$site/index.html" ] || bash scripts/build-web.sh
echo "KelvoUp's page: http://127.0.0.1:$port/ (Ctrl-C to stop)"
exec python3 - "$site" "$port" <<'PYTHON'
import functools, http.server, sys

class Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".wasm": "application/wasm", ".js": "text/javascript", ".hex": "text/plain"}

    def end_headers(self):
        # The page needs no cross-origin isolation; it only must not be framed or sniffed.
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("X-Frame-Options", "DENY")
        self.send_header("Cache-Control", "no-cache")
        super().end_headers()

site, port = sys.argv[1], int(sys.argv[2])
http.server.ThreadingHTTPServer(("127.0.0.1", port), functools.partial(Handler, directory=site)).serve_forever()
PYTHON
