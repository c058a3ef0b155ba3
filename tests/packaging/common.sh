# Helpers of the packaging tests (sourced).
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then echo "ok:   $what"; else fail "$what"; fi; }
finish() {
  [ "$failures" -eq 0 ] || { echo "$1: $failures check(s) failed"; exit 1; }
  echo "$1: all checks passed"
}

# A port nothing listens on, below the kernel's range for outgoing connections (32768 and up by
# default; a port from there can be taken by a concurrent test's connection before Pelmora
# binds it).
free_port() {
  local p
  for _ in $(seq 1 200); do
    p=$((20000 + RANDOM % 12000))
    (exec 3<> "/dev/tcp/127.0.0.1/$p") 2> /dev/null || { echo "$p"; return 0; }
  done
  return 1
}

# wait_for_daily_file DIR SECONDS PID: prints station 1's first non-empty daily file in DIR once
# there is one, while PID lives, for SECONDS at most; nothing when there is none.
wait_for_daily_file() {
  local deadline=$((SECONDS + $2)) f
  while kill -0 "$3" 2> /dev/null && [ "$SECONDS" -lt "$deadline" ]; do
    f=$(find "$1" -maxdepth 1 -regextype posix-extended -regex '.*/1_Meteo[0-9]{8}\.txt' -size +0)
    [ -z "$f" ] || { echo "${f%%$'\n'*}"; return 0; }
    sleep 0.2
  done
}
