#!/usr/bin/env bash
# Checks the 32-bit Windows programs with objdump, since the build hosts cannot run them:
# machine type, the drivers' plain-named exports and their ordinals, the plain names Halmdrv
# imports from the console SDK library, and no compiler runtime DLL among the imports.
#
#   check-win32-binaries.sh WINDOWS32_BIN_DIR
set -euo pipefail

bin=${1:?usage: check-win32-binaries.sh WINDOWS32_BIN_DIR}
src=$(cd "$(dirname "$0")/../.." && pwd)
# The 64-bit objdump reads both machine types, so a wrong one is named rather than refused.
objdump=$(command -v x86_64-w64-mingw32-objdump || command -v i686-w64-mingw32-objdump || true)
[ -n "$objdump" ] || { echo "FAIL: no mingw-w64 objdump"; exit 1; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }

# "NAME ORDINAL" per export, sorted. binutils lists the name table by index from the ordinal
# base.
exports() {
  awk '/^Ordinal Base/ { base = $3 }
       /^\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
       table && /^[ \t]*$/ { table = 0 }
       table { idx = $0; sub(/^[ \t]*\[ */, "", idx); sub(/\].*/, "", idx)
               name = $0; sub(/^[^]]*\] */, "", name)
               if (base == "") print name " no-ordinal-base"; else print name " " idx + base }' \
    "$1" | sort
}
# Member names imported from the DLL named in $2, sorted.
imports_from() {
  awk -v dll="$2" '/^[ \t]*DLL Name:/ { from = (tolower($3) == tolower(dll)); next }
       from && /Hint\/Ord/ { next }
       from && /^[ \t]*$/ { from = 0 }
       from { print $3 }' "$1" | sort
}
# One line per item, for the messages.
flat() { if [ -z "$1" ]; then echo none; else tr '\n' ' ' <<< "$1" | sed 's/ $//'; fi; }
# same WHAT FOUND EXPECTED
same() {
  if [ "$2" = "$3" ]; then
    pass "$1: $(flat "$2")"
  else
    fail "$1: found '$(flat "$2")', expected '$(flat "$3")'"
  fi
}

# The SDK calls the header declares, and those of them that the driver's sources call.
sdk_calls=$(sed -n 's/^VANTAGEPRO_API .*VANTAGEPRO_CALL \([A-Za-z0-9_]*\)(.*/\1/p' \
  "$src/console/VantagePro.h" | sort -u)
used_calls=$(sed 's://.*::' "$src"/driver/*.cpp | grep -ow -F -f <(echo "$sdk_calls") | sort -u || true)
[ -n "$sdk_calls" ] || fail "no SDK calls found in console/VantagePro.h"
[ -n "$used_calls" ] || fail "no SDK calls found in the sources of Halmdrv"
driver_exports=$(printf '%s\n' "ClosePort 4" "GetData 5" "OpenPort 3")

dump=$(mktemp)
trap 'rm -f "$dump"' EXIT
for f in Pelmora.exe Halmdrv.dll VantagePro.dll Replaydrv.dll pelmora-query.exe; do
  if [ ! -f "$bin/$f" ]; then
    fail "$f: missing in $bin"
    continue
  fi
  if ! "$objdump" -p "$bin/$f" > "$dump" 2>&1; then
    fail "$f: objdump cannot read it: $(tail -n 1 "$dump")"
    continue
  fi
  same "$f file format" "$(sed -n 's/.*file format //p' "$dump" | head -n 1)" pei-i386
  runtime=$(grep -i -o -E 'DLL Name: *(libgcc_s|libstdc\+\+|libwinpthread)[^ ]*' "$dump" || true)
  same "$f compiler runtime DLLs imported" "${runtime//DLL Name: /}" ""
  case $f in
  Halmdrv.dll | Replaydrv.dll) same "$f exports" "$(exports "$dump")" "$driver_exports" ;;
  VantagePro.dll) same "$f exports" "$(exports "$dump" | cut -d ' ' -f 1)" "$sdk_calls" ;;
  esac
  if [ "$f" = Halmdrv.dll ]; then
    same "$f imports from VantagePro.dll" "$(imports_from "$dump" VantagePro.dll)" "$used_calls"
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) of the 32-bit binaries in $bin failed"
  exit 1
fi
echo "32-bit binaries in $bin: all checks passed"
