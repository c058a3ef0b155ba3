#!/usr/bin/env bash
# A Windows zip as a user gets it: unpacked into an empty folder, "Pelmora.exe -d" runs there
# under Wine (a fresh prefix of its own) with the shipped settings and the simulated station,
# and writes the station's daily file beside the program.
#   zip_test.sh PACKAGE.zip
set -uo pipefail

zip=$(realpath "$1")
# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"
# Bounds for Wine's slow steps; a healthy run needs a fraction of them.
prefix_timeout=${PELMORA_WINE_PREFIX_TIMEOUT:-300}
run_timeout=${PELMORA_WINE_RUN_TIMEOUT:-120}

work=$(mktemp -d "${TMPDIR:-/tmp}/pelmora-zip.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
unset WAYLAND_DISPLAY
pid=
cleanup() {
  [ -z "$pid" ] || kill -KILL "$pid" 2> /dev/null || true
  wineserver -k > /dev/null 2>&1 || true
  timeout 60 wineserver -w > /dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/unpacked" "$WINEPREFIX"
if ! unzip -q "$zip" -d "$work/unpacked"; then
  echo "FAIL: $zip does not unpack"
  exit 1
fi
# One folder at the top, named like the zip.
app=$work/unpacked/$(basename "$zip" .zip)
if [ "$(ls "$work/unpacked")" = "$(basename "$app")" ] && [ -f "$app/Pelmora.exe" ]; then
  pass "the zip holds one folder $(basename "$app") with Pelmora.exe"
else
  fail "the zip's top level is not one folder $(basename "$app") with Pelmora.exe: $(ls "$work/unpacked")"
  exit 1
fi

if ! timeout "$prefix_timeout" wine wineboot -i > "$work/wineboot.txt" 2>&1; then
  echo "FAIL: building the Wine prefix failed or took over ${prefix_timeout}s"
  tail -n 20 "$work/wineboot.txt"
  exit 1
fi

# The shipped settings, only on a free port (the default one may be taken on a shared machine).
port=$(free_port) || { echo "FAIL: no free port"; exit 1; }
sed -i "s/^Port=[0-9]*/Port=$port/" "$app/Pelmora.ini"
(cd "$app" && exec wine Pelmora.exe -d < /dev/null > "$work/console.txt" 2>&1) &
pid=$!
daily=
deadline=$((SECONDS + run_timeout))
while kill -0 "$pid" 2> /dev/null && [ "$SECONDS" -lt "$deadline" ]; do
  daily=$(daily_files "$app" | head -n 1)
  [ -z "$daily" ] || break
  sleep 0.5
done
if [ -n "$daily" ]; then
  pass "Pelmora.exe -d wrote the daily file $(basename "$daily") of the simulated station"
else
  fail "no daily file within ${run_timeout}s; console: $(tr -d '\r' < "$work/console.txt" | head -n 20)"
  tail -n 20 "$app/Pelmora.log" 2> /dev/null
fi
# A bounded run: the console's Ctrl+C does not reach a program Wine runs without a terminal, so
# the prefix's processes are ended.
wineserver -k > /dev/null 2>&1
wait "$pid" 2> /dev/null
pid=
if grep -q '^Debugging Pelmora\.' "$work/console.txt"; then
  pass "the console run announced itself"
else
  fail "no 'Debugging Pelmora.' on the console"
fi

if [ "$failures" -ne 0 ]; then
  echo "Windows zip test: $failures check(s) failed"
  exit 1
fi
echo "Windows zip test: all checks passed"
