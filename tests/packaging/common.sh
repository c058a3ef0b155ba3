# Helpers of the packaging tests (sourced).
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# A port nothing listens on, below the kernel's range for outgoing connections (a port from that
# range can be taken by a concurrent test's connection before Pelmora binds it).
free_port() {
  local p low
  low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range 2> /dev/null || echo 32768)
  [[ $low =~ ^[0-9]+$ && $low -gt 21000 ]] || low=32768
  for _ in $(seq 1 200); do
    p=$((20000 + RANDOM % (low - 20000)))
    (exec 3<> "/dev/tcp/127.0.0.1/$p") 2> /dev/null || { echo "$p"; return 0; }
  done
  return 1
}

# The daily measurement files of station 1 in a folder, non-empty ones only.
daily_files() {
  find "$1" -maxdepth 1 -regextype posix-extended -regex '.*/1_Meteo[0-9]{8}\.txt' -size +0
}
