#!/usr/bin/env bash
# A Windows zip as a user gets it: unpacked into an empty folder, "Pelmora.exe -d" runs there
# under Wine (a fresh prefix of its own) with the shipped settings and the simulated station,
# and writes the station's daily file beside the program.
#   zip_test.sh PACKAGE.zip
set -uo pipefail
# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"
zip=$(realpath "$1")
work=$(mktemp -d "${TMPDIR:-/tmp}/pelmora-zip.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
unset WAYLAND_DISPLAY
cleanup() {
  wineserver -k > /dev/null 2>&1
  timeout 60 wineserver -w > /dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

app=$work/unpacked/$(basename "$zip" .zip)
unzip -q "$zip" -d "$work/unpacked"
check "the zip holds one folder $(basename "$app")" [ "$(ls "$work/unpacked")" = "$(basename "$app")" ]
timeout 300 wine wineboot -i > "$work/wineboot.txt" 2>&1 || { cat "$work/wineboot.txt"; exit 1; }

# The shipped settings, on a free port (the default one may be taken on a shared machine).
sed -i "s/^Port=[0-9]*/Port=$(free_port)/" "$app/Pelmora.ini"
(cd "$app" && exec wine Pelmora.exe -d < /dev/null > "$work/console.txt" 2>&1) &
pid=$!
daily=$(wait_for_daily_file "$app" 120 "$pid")
check "Pelmora.exe -d wrote the simulated station's daily file ${daily##*/}" [ -n "$daily" ]
[ "$failures" -eq 0 ] || tail -n 20 "$work/console.txt" "$app/Pelmora.log"
# A bounded run: Ctrl+C does not reach a program that Wine runs without a terminal, so the
# prefix's processes are ended.
wineserver -k > /dev/null 2>&1
wait "$pid" 2> /dev/null
finish "Windows zip test"
