#!/usr/bin/env bash
# Runs the dashboard's browser test: puts playwright-core from the npm registry into WORK_DIR
# (once; never a browser download) and runs TEST_PROGRAM with the system's Chromium.
#   run_browser_test.sh TEST_PROGRAM WORK_DIR
set -euo pipefail
program=$1
work=$2
playwright_version=1.65.2
mkdir -p "$work"
chromium=$(command -v chromium || true)
if [ -z "$chromium" ]; then
  echo "chromium is not installed (scripts/install-deps installs it)" >&2
  exit 1
fi
if [ ! -f "$work/node_modules/playwright-core/package.json" ]; then
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --prefix "$work" --no-save --no-audit \
    --no-fund --loglevel=error "playwright-core@${playwright_version}" >/dev/null
fi
export PELMORA_NODE_PATH="$work/node_modules"
export PELMORA_CHROMIUM="$chromium"
export PELMORA_DASHBOARD_CHECK
PELMORA_DASHBOARD_CHECK="$(cd "$(dirname "$0")" && pwd)/dashboard_check.js"
export PELMORA_SCREENSHOT="$work/dashboard.png"
exec "$program"
