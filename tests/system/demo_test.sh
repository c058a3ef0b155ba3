#!/usr/bin/env bash
# The demo end to end: scripts/demo --rounds with the programs of the build under test, twice
# into the same folder (the second run replaces the first one's state), on a free port.
# Checks that both stations report readings through pelmora-query, that the daily measurement
# files have their names (<id>_Meteo<yyyymmdd>.txt, UTC date) and their columns, and that the
# service stopped cleanly.
#   demo_test.sh BIN_DIR WORK_DIR
set -uo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
bin=$1
work=$2
failures=0

fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# A port nothing listens on, below the kernel's range for connecting clients: a port from that
# range can be taken by a concurrent test's outgoing connection before Pelmora binds it.
free_port() {
  local p low
  low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
  [[ $low =~ ^[0-9]+$ && $low -gt 21000 ]] || low=32768
  for _ in $(seq 1 200); do
    p=$((20000 + RANDOM % (low - 20000)))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return 0
    fi
  done
  return 1
}

# Lines of pelmora-query's JSON output for one station that carry readings.
readings_of() { grep -c "^{\"station\":$1,\"status\":\"ok\"" "$2" || true; }

run_demo() {  # run_demo NAME: one bounded demo run into $work/demo
  local name=$1
  local out="$work/$name.txt"
  local port http
  port=$(free_port) || { fail "$name: no free port"; return; }
  http=$(free_port) || { fail "$name: no free port"; return; }
  local day_before
  day_before=$(date -u +%Y%m%d)
  timeout 200 "$src/scripts/demo" --bin "$bin" --dir "$work/demo" --port "$port" \
    --http-port "$http" --rounds 3 --interval 1 --json >"$out" 2>&1
  local rc=$?
  local day_after
  day_after=$(date -u +%Y%m%d)
  echo "== $name (port $port), exit code $rc:"
  cat "$out"
  grep -qF "Dashboard and JSON API: http://127.0.0.1:$http/" "$out" ||
    fail "$name: the dashboard's address is not printed"
  [ "$(tr -d '\r' <"$work/demo/Pelmora.log" | grep -c "HTTP: listening on 0.0.0.0:$http\$")" -gt 0 ] ||
    fail "$name: the web face did not listen on $http"

  [ "$rc" -eq 0 ] || fail "$name: scripts/demo ended with $rc"

  # Both stations answered with readings in every round: the 10-minute window with samples.
  for station in 1 2; do
    local n
    n=$(readings_of "$station" "$out")
    [ "$n" -eq 3 ] || fail "$name: station $station answered with readings $n times, not 3"
    # grep -c reads to the end: with pipefail, an early exit of grep -q would fail the
    # pipeline through the writer's SIGPIPE once the input outgrows the pipe.
    [ "$(grep "^{\"station\":$station,\"status\":\"ok\"" "$out" | grep -c '"samples":[1-9]')" -gt 0 ] ||
      fail "$name: station $station's window holds no samples"
  done

  # The measurement files: one per station, named after the station id and the UTC day.
  local files
  files=$(cd "$work/demo" && ls -- *_Meteo*.txt 2>/dev/null | sort | tr '\n' ' ')
  local expected_before="1_Meteo$day_before.txt 2_Meteo$day_before.txt "
  local expected_after="1_Meteo$day_after.txt 2_Meteo$day_after.txt "
  if [ "$files" != "$expected_before" ] && [ "$files" != "$expected_after" ] &&
     [ "$day_before" = "$day_after" ]; then
    fail "$name: measurement files are '$files', expected '$expected_before'"
  fi
  for f in "$work/demo"/*_Meteo*.txt; do
    [ -f "$f" ] || continue
    # Every line: a time stamp and nine values with one decimal, tab-separated, CR LF.
    if grep -v -q -P '^\d{8} \d\d:\d\d:\d\d(\t-?\d+\.\d){9}\r$' "$f"; then
      fail "$name: $(basename "$f") has a malformed line"
    fi
    [ -s "$f" ] || fail "$name: $(basename "$f") is empty"
  done

  # Station 2 replays the recorded hour from its first line: its first reading is that line's,
  # apart from the time stamp and the 10-minute statistics (columns 4 and 5).
  local recorded replayed
  recorded=$(head -n 1 "$src/examples/replay/1_Meteo20261208.txt" | tr -d '\r' | cut -f 2,3,6-10)
  replayed=$(head -n 1 "$work/demo/2_Meteo$day_after.txt" 2>/dev/null | tr -d '\r' | cut -f 2,3,6-10)
  [ -n "$recorded" ] && [ "$replayed" = "$recorded" ] ||
    fail "$name: station 2's first reading is '$replayed', not the recorded '$recorded'"
  # Station 1 polls the console driver.
  [ "$(tr -d '\r' <"$work/demo/Pelmora.log" | grep -c "Driver-Path=$work/demo/Halmdrv.so\$")" -gt 0 ] ||
    fail "$name: the log names no console driver for station 1"

  # A clean stop: the service ended by itself after the stop request, with its result 1.
  grep -q '^Pelmora stopped\.$' "$out" || fail "$name: the demo does not report a clean stop"
  grep -q 'Stopping Pelmora\.' "$work/demo/console.txt" ||
    fail "$name: the service did not see the stop request"
  [ ! -e "$work/demo/Pelmora.pid" ] || fail "$name: the pid file is left behind"
  for exe in /proc/[0-9]*/exe; do
    if [ "$(readlink "$exe" 2>/dev/null)" = "$work/demo/Pelmora" ]; then
      fail "$name: a Pelmora of the demo folder still runs (${exe%/exe})"
    fi
  done
  grep -q '^Log: .*/Pelmora.log$' "$out" || fail "$name: the demo does not say where the log is"
  [ -s "$work/demo/Pelmora.log" ] || fail "$name: no log"
}

rm -rf "$work"
mkdir -p "$work"
run_demo first
# The log of the second run must not be the first one's continued.
run_demo second
banners=$(grep -c 'New Log' "$work/demo/Pelmora.log" || true)
[ "$banners" -eq 1 ] || fail "second run: the log holds $banners banners, expected 1 (a fresh log)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
