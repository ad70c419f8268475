#!/usr/bin/env bash
# Installs what the browser tests need: Debian's chromium and Node.js (with npm), then the npm
# packages that package-lock.json pins (npm ci), unless that lock file is installed already.
set -eu
cd "$(dirname "$0")"
../../tools/install-missing.sh chromium nodejs
command -v npm >/dev/null || ../../tools/install-missing.sh npm
if ! cmp -s package-lock.json node_modules/.installed-lock 2>/dev/null; then
  npm ci --no-audit --no-fund --loglevel=error
  cp package-lock.json node_modules/.installed-lock
fi
