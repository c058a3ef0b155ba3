#!/usr/bin/env bash
# The Windows service program under Wine's service control manager: install, start, serve a
# native client on loopback, stop and remove, with the console texts and exit codes of each
# action, and the event source's entry in the Application log's "Sources" list.
#
#   service-under-wine.sh WINDOWS_BIN_DIR CLIENT_PROBE WORK_DIR
#
# Expects WINEPREFIX set up and a wineserver that stays up for the whole run: Wine's service
# manager starts automatic services whenever it starts itself, so a restart between install
# and start would start the service behind the test's back.
set -euo pipefail

bin=$1
probe=$2
work=$3
# Bounds for Wine's slower steps; a healthy run needs a fraction of them.
action_timeout=${PELMORA_WINE_ACTION_TIMEOUT:-120}
serve_timeout=${PELMORA_WINE_SERVE_TIMEOUT:-90}

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }

app=$work/Pelmora
mkdir -p "$app"
cp "$bin/Pelmora.exe" "$bin/Halmdrv.dll" "$bin/VantagePro.dll" "$app/"
port=$("$probe" free-port)
# One station on the console driver; the SDK stand-in makes up the weather. Short delays so
# that the first reading comes within seconds.
printf '[General]\r\nPort=%s\r\nStations=1\r\nStationIDs=1\r\nStartDelay=500\r\nCycleTime=1000\r\nTrace=1\r\n[1]\r\nDriver=Halmdrv.dll\r\n' \
  "$port" > "$app/Pelmora.ini"
printf '[Simulator]\r\nMode=weather\r\nSeed=7\r\n' > "$app/VantageSim.ini"

# Runs Pelmora.exe with the arguments; keeps its standard output in $out and exit code in $rc.
run() {
  local file=$work/out.txt
  rc=0
  (cd "$app" && timeout "$action_timeout" wine Pelmora.exe "$@" > "$file" 2> "$work/err.txt") || rc=$?
  out=$(cat -v "$file")  # CR shown as ^M: Windows text-mode output ends its lines with CR LF
}

# expect_action DESCRIPTION EXPECTED_RC REGEX (over the output with CR as ^M, newlines as \n)
expect_action() {
  local what=$1 want_rc=$2 pattern=$3
  local flat
  flat=$(printf '%s' "$out" | awk 'BEGIN{ORS="\\n"} {print}')
  if [ "$rc" -ne "$want_rc" ]; then
    fail "$what: exit code $rc, expected $want_rc (output: $flat)"
  elif ! [[ $flat =~ $pattern ]]; then
    fail "$what: output '$flat' does not match '$pattern'"
  else
    pass "$what: exit code $rc, output '$flat'"
  fi
}

app_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'
# The entries of "Sources", one a line.
sources() {
  wine reg query "$app_key" /v Sources 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *Sources *REG_MULTI_SZ *//p' | sed 's/\\0/\n/g'
}
count_source() { sources | grep -cx "$1" || true; }

# A fresh prefix has no "Sources" list; give it one with an entry that differs only in case,
# which removing must keep.
wine reg add "$app_key" /v Sources /t REG_MULTI_SZ /d 'Application\0kalmeteodataserver' /f > /dev/null

run -i
expect_action "install (-i)" 1 '^Pelmora installed\.\^M\\n$'
run -i
expect_action "second install (-i)" 0 '^CreateService failed - .+\^M\\n$'
n=$(count_source KALMeteoDataServer)
[ "$n" -eq 1 ] && pass "Sources lists KALMeteoDataServer once after two installs" ||
  fail "Sources lists KALMeteoDataServer $n times after two installs: $(sources | tr '\n' ' ')"
if wine reg query "$app_key\\KALMeteoDataServer" /v EventMessageFile 2>/dev/null | tr -d '\r' |
  grep -q 'REG_EXPAND_SZ.*Pelmora\.exe$'; then
  pass "event source registered with Pelmora.exe as its message file"
else
  fail "no EventMessageFile for the event source"
fi
if wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\KALMeteoDataServer' 2>/dev/null | tr -d '\r' |
  grep -q 'DisplayName *REG_SZ *Pelmora$'; then
  pass "service KALMeteoDataServer registered with display name Pelmora"
else
  fail "service KALMeteoDataServer not registered"
fi

run
expect_action "no switch from a console: the dispatcher fails, nothing printed" 0 '^$'

run -s
expect_action "start (-s)" 1 '^Starting up Pelmora\.+\^M\\nPelmora started\.\^M\\n$'

if timeout $((serve_timeout + 30)) "$probe" check "$port" "$serve_timeout"; then
  pass "native client: greeting, sealed answers, station 1 read through Halmdrv.dll"
else
  fail "native client against the Wine-hosted server"
  echo "--- Pelmora.log (last lines)"; tail -n 30 "$app/Pelmora.log" 2>/dev/null || true
fi

run -e
expect_action "stop (-e)" 1 '^Stopping Pelmora\.+\^M\\nPelmora stopped\.\^M\\n$'
run -e
expect_action "stop when stopped (-e): refused, nothing printed" 0 '^$'

run -u
expect_action "remove (-u)" 1 '^Pelmora removed\.\^M\\n$'
n=$(count_source KALMeteoDataServer)
[ "$n" -eq 0 ] && pass "Sources no longer lists KALMeteoDataServer" ||
  fail "Sources still lists KALMeteoDataServer $n times"
n=$(count_source kalmeteodataserver)
[ "$n" -eq 1 ] && pass "Sources keeps the entry that differs in case" ||
  fail "Sources lost the entry kalmeteodataserver"
if wine reg query "$app_key\\KALMeteoDataServer" > /dev/null 2>&1; then
  fail "the event source's key is still there"
else
  pass "the event source's key is gone"
fi
run -u
expect_action "second remove (-u)" 0 '^OpenService failed - .+\^M\\n$'

# Faceless mode: no console text, the hidden window, and the same service run; it has no
# stop of its own here (nothing ends the session), so the test ends the process.
(cd "$app" && exec timeout "$action_timeout" wine Pelmora.exe -f > "$work/faceless.txt" 2> "$work/faceless-err.txt") &
faceless=$!
if timeout $((serve_timeout + 30)) "$probe" check "$port" "$serve_timeout" > /dev/null; then
  pass "faceless run (-f) serves the native client"
else
  fail "faceless run (-f) does not serve"
fi
kill "$faceless" 2> /dev/null || true
wait "$faceless" 2> /dev/null || true
if [ -s "$work/faceless.txt" ]; then
  fail "faceless run printed: $(cat -v "$work/faceless.txt" | head -c 200)"
else
  pass "faceless run printed nothing"
fi

if [ "$failures" -ne 0 ]; then
  echo "service under Wine: $failures check(s) failed"
  exit 1
fi
echo "service under Wine: all checks passed"
