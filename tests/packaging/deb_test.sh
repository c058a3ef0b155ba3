#!/usr/bin/env bash
# The Debian package on this machine, as root: lintian finds no errors; it installs; the
# installed program runs as the account pelmora with the simulated station and writes its daily
# file; an upgrade to a higher version keeps an edited Pelmora.ini; remove keeps the settings,
# the log and the daily files; purge leaves nothing of the package behind.
#   deb_test.sh PACKAGE.deb
set -uo pipefail
# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"
deb=$(realpath "$1")
dir=/opt/pelmora
unit=KALMeteoDataServer.service

if [ "$(id -u)" -ne 0 ]; then
  echo "== Debian package test skipped: installing a package needs root"
  exit 0
fi
if dpkg-query -W pelmora > /dev/null 2>&1 || [ -e "$dir" ] || getent passwd pelmora > /dev/null; then
  echo "FAIL: the package pelmora, $dir or the account pelmora is already here; not replacing it"
  exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/pelmora-deb.XXXXXX")
pid=
# None of these were here before the test: whatever a faulty package leaves behind goes too.
cleanup() {
  [ -z "$pid" ] || kill -KILL "$pid" 2> /dev/null
  dpkg-query -W pelmora > /dev/null 2>&1 && { timeout 120 dpkg -P pelmora > /dev/null 2>&1 ||
    echo "cleanup: dpkg -P pelmora failed"; }
  rm -rf "$work" "$dir"
  getent passwd pelmora > /dev/null && deluser --system pelmora > /dev/null 2>&1
  getent group pelmora > /dev/null && delgroup --system pelmora > /dev/null 2>&1
  true
}
trap cleanup EXIT

# dpkg with no terminal to ask on, bounded.
dpkg_ok() {
  timeout 120 dpkg "$@" < /dev/null > "$work/dpkg.txt" 2>&1 || { cat "$work/dpkg.txt"; false; }
}
kept() {
  cmp -s "$work/edited.ini" "$dir/Pelmora.ini" && [ -f "$dir/Halmdrv.ini" ] && [ -s "$daily" ] &&
    [ -s "$dir/Pelmora.log" ]
}

timeout 300 lintian "$deb" > "$work/lintian.txt" 2>&1
# Shown on standard error as they are (tee /dev/stderr would reopen, and so empty, a log file).
errors=$(grep '^E: ' "$work/lintian.txt")
[ -z "$errors" ] || echo "$errors" >&2
check "lintian: no errors" [ -z "$errors" ]

check "dpkg -i installs the package" dpkg_ok -i "$deb"
check "the account pelmora is in the group dialout" grep -qw dialout <<< "$(id -nG pelmora 2>&1)"
check "the folder is root:pelmora 1775" [ "$(stat -c '%U:%G %a' "$dir")" = "root:pelmora 1775" ]
unit_file=$(dpkg -L pelmora | grep "/systemd/system/$unit\$")
# Unknown keys and wrong values are only warnings there: any output is a finding.
verify=$(timeout 60 systemd-analyze verify "$unit_file" 2>&1)
check "systemd-analyze verify accepts the unit $verify" [ $? -eq 0 -a -z "$verify" ]
check "the unit is not enabled" [ -z "$(find /etc/systemd/system -name "$unit")" ]

# A bounded run as the account pelmora, on an edited Pelmora.ini (a free port).
sed -i "s/^Port=.*/Port=$(free_port)/" "$dir/Pelmora.ini"
cp "$dir/Pelmora.ini" "$work/edited.ini"
env -u NOTIFY_SOCKET setpriv --reuid=pelmora --regid=pelmora --init-groups -- "$dir/Pelmora" -d \
  < /dev/null > "$work/console.txt" 2>&1 &
pid=$!
daily=$(wait_for_daily_file "$dir" 60 "$pid")
kill -INT "$pid"
deadline=$((SECONDS + 40))
while kill -0 "$pid" 2> /dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.2; done
kill -KILL "$pid" 2> /dev/null && fail "Pelmora -d did not stop within 40 s of SIGINT"
rc=0
wait "$pid" || rc=$?
pid=
check "Pelmora -d ran as pelmora and stopped cleanly (exit code $rc)" [ "$rc" -eq 1 ]
check "it wrote its daily file ${daily##*/} as pelmora" [ "$(stat -c %U "${daily:-/}")" = pelmora ]
[ "$failures" -eq 0 ] || tail -n 20 "$work/console.txt" "$dir/Pelmora.log"

version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -R "$deb" "$work/next"
sed -i "s/^Version: .*/Version: $version+1/" "$work/next/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/next" "$work/next.deb" > /dev/null
check "dpkg -i upgrades to $version+1 without asking" dpkg_ok -i "$work/next.deb"
check "the upgrade kept the edited Pelmora.ini, Halmdrv.ini, the daily file and the log" kept

check "dpkg -r removes the package" dpkg_ok -r pelmora
check "remove leaves config-files" \
  [ "$(dpkg-query -W -f='${Status}' pelmora)" = "deinstall ok config-files" ]
check "remove deleted the programs and the unit" \
  [ ! -e "$dir/Pelmora" -a ! -e "$dir/Halmdrv.so" -a ! -e "$unit_file" ]
check "remove kept the edited Pelmora.ini, Halmdrv.ini, the daily file and the log" kept

check "dpkg -P purges the package" dpkg_ok -P pelmora
check "purge removed $dir, the account and its group" \
  [ ! -e "$dir" -a -z "$(getent passwd pelmora)$(getent group pelmora)" ]
left=$(dpkg-statoverride --list "$dir"; dpkg-query -W pelmora 2> /dev/null
  find /etc/systemd /var/lib/systemd -name "*$unit*")
check "purge left no owner override, no package state, no unit state $left" [ -z "$left" ]
finish "Debian package test"
