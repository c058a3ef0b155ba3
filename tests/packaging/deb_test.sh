#!/usr/bin/env bash
# The Debian package on this machine, as root: lintian finds no errors; it installs; the
# installed program runs as the account pelmora with the simulated station and writes its daily
# file; an upgrade to a higher version keeps an edited Pelmora.ini; remove keeps the settings,
# the log and the daily files; purge leaves nothing of the package behind.
#   deb_test.sh PACKAGE.deb
set -uo pipefail

deb=$(realpath "$1")
dir=/opt/pelmora
unit=KALMeteoDataServer.service
# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"

if [ "$(id -u)" -ne 0 ]; then
  echo "== Debian package test skipped: installing a package needs root"
  exit 0
fi
if dpkg-query -W pelmora > /dev/null 2>&1 || [ -e "$dir" ] || getent passwd pelmora > /dev/null; then
  echo "Debian package test: the package pelmora, $dir or the account pelmora is already on" \
    "this machine; the test would replace it, so it does not run"
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/pelmora-deb.XXXXXX")
pid=
cleanup() {
  [ -z "$pid" ] || kill -KILL "$pid" 2> /dev/null || true
  if dpkg-query -W pelmora > /dev/null 2>&1; then
    timeout 120 dpkg -P pelmora > /dev/null 2>&1 || echo "cleanup: dpkg -P pelmora failed"
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# dpkg_run DESCRIPTION ARGS...: dpkg with no terminal to ask on, bounded.
dpkg_run() {
  local what=$1; shift
  if timeout 120 dpkg "$@" < /dev/null > "$work/dpkg.txt" 2>&1; then
    pass "$what"
  else
    fail "$what: $(tail -n 20 "$work/dpkg.txt")"
  fi
}
status_of() { dpkg-query -W -f='${Status}' pelmora 2> /dev/null; }

# --- lintian -------------------------------------------------------------------------------------
timeout 300 lintian "$deb" > "$work/lintian.txt" 2>&1
errors=$(grep '^E: ' "$work/lintian.txt")
check "lintian: no errors ($(grep -c '^W: ' "$work/lintian.txt") warnings)" [ -z "$errors" ]
[ -z "$errors" ] || echo "$errors"

# --- install -------------------------------------------------------------------------------------
dpkg_run "dpkg -i installs the package" -i "$deb"
check "the account pelmora is in the group dialout" grep -qw dialout <<< "$(id -nG pelmora 2>&1)"
check "the folder is root:pelmora, group-writable and sticky" \
  [ "$(stat -c '%U:%G %a' "$dir" 2>&1)" = "root:pelmora 1775" ]
unit_file=$(dpkg -L pelmora | grep "/systemd/system/$unit\$")
check "the unit runs the installed program as pelmora" \
  grep -qzP "(?s)Type=notify\n.*ExecStart=$dir/Pelmora\n.*User=pelmora\n" "${unit_file:-/nonexistent}"
if command -v systemd-analyze > /dev/null; then
  # Unknown keys and wrong values are only warnings there: any output counts as a finding.
  verify=$(timeout 60 systemd-analyze verify "${unit_file:-/nonexistent}" 2>&1) && [ -z "$verify" ] &&
    pass "systemd-analyze verify accepts the unit" || fail "systemd-analyze verify: $verify"
fi
check "the unit is not enabled" [ -z "$(find /etc/systemd/system -name "$unit" 2> /dev/null)" ]

# --- a bounded run as the account pelmora ----------------------------------------------------------
port=$(free_port) || { echo "FAIL: no free port"; exit 1; }
sed -i "s/^Port=.*/Port=$port/" "$dir/Pelmora.ini"
echo "; edited by the operator" >> "$dir/Pelmora.ini"
cp "$dir/Pelmora.ini" "$work/edited.ini"
env -u NOTIFY_SOCKET setpriv --reuid=pelmora --regid=pelmora --init-groups -- \
  "$dir/Pelmora" -d < /dev/null > "$work/console.txt" 2>&1 &
pid=$!
served=no
deadline=$((SECONDS + 60))
while kill -0 "$pid" 2> /dev/null && [ "$SECONDS" -lt "$deadline" ]; do
  if [ "$served" = no ] &&
    "$dir/pelmora-query" --port "$port" --station 1 --latest --timeout 2 > /dev/null 2>&1; then
    served=yes
  fi
  [ "$served" = yes ] && [ -n "$(daily_files "$dir")" ] && break
  sleep 0.2
done
kill -INT "$pid" 2> /dev/null
deadline=$((SECONDS + 40))
while kill -0 "$pid" 2> /dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.2; done
kill -KILL "$pid" 2> /dev/null && fail "Pelmora -d did not stop within 40 s of SIGINT"
rc=0
wait "$pid" || rc=$?
pid=
check "Pelmora -d ran as pelmora and stopped cleanly (exit code $rc)" [ "$rc" -eq 1 ]
daily=$(daily_files "$dir" | head -n 1)
check "the daily file ${daily##*/} has readings and belongs to pelmora" \
  [ -s "${daily:-/nonexistent}" -a "$(stat -c %U "${daily:-/}")" = pelmora ]
check "the installed pelmora-query read station 1 from the service" [ "$served" = yes ]
[ "$failures" -eq 0 ] || { cat "$work/console.txt"; tail -n 20 "$dir/Pelmora.log" 2> /dev/null; }

# --- upgrade to a higher version -------------------------------------------------------------------
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -R "$deb" "$work/next"
sed -i "s/^Version: .*/Version: $version+1/" "$work/next/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/next" "$work/next.deb" > /dev/null
dpkg_run "dpkg -i upgrades to $version+1 without asking" -i "$work/next.deb"
check "the upgrade installed $version+1" [ "$(dpkg-query -W -f='${Version}' pelmora)" = "$version+1" ]
check "the upgrade kept the edited Pelmora.ini" cmp -s "$work/edited.ini" "$dir/Pelmora.ini"
check "the upgrade kept the daily file and the log" [ -s "$daily" -a -s "$dir/Pelmora.log" ]

# --- remove and purge ------------------------------------------------------------------------------
dpkg_run "dpkg -r removes the package" -r pelmora
check "remove leaves the settings only as config-files" [ "$(status_of)" = "deinstall ok config-files" ]
check "remove deleted the programs, drivers and unit" \
  [ ! -e "$dir/Pelmora" -a ! -e "$dir/Halmdrv.so" -a ! -e "$dir/libVantagePro.so" -a ! -e "$unit_file" ]
settings_kept() {
  [ -f "$dir/Halmdrv.ini" ] && [ -f "$dir/VantageSim.ini" ] && cmp -s "$work/edited.ini" "$dir/Pelmora.ini"
}
check "remove kept the edited Pelmora.ini and the drivers' settings" settings_kept
check "remove kept the daily file and the log" [ -s "$daily" -a -s "$dir/Pelmora.log" ]

dpkg_run "dpkg -P purges the package" -P pelmora
check "purge removed $dir" [ ! -e "$dir" ]
check "purge removed the account and its group" \
  [ -z "$(getent passwd pelmora)" -a -z "$(getent group pelmora)" ]
check "purge removed the folder's owner override" [ -z "$(dpkg-statoverride --list "$dir")" ]
check "dpkg no longer knows the package" [ -z "$(status_of)" ]
check "no state of the unit is left" \
  [ -z "$(find /etc/systemd /var/lib/systemd -name "*$unit*" 2> /dev/null)" ]

if [ "$failures" -ne 0 ]; then
  echo "Debian package test: $failures check(s) failed"
  exit 1
fi
echo "Debian package test: all checks passed"
