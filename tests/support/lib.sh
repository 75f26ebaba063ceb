# Shell helpers shared by the fixture scripts; sourced, not run.

# Prints the first port from $1 on (up to 200 further) on which nothing
# accepts connections on 127.0.0.1.
free_port() {
  local p
  for p in $(seq "$1" $(($1 + 200))); do
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
  return 1
}

# check DESCRIPTION COMMAND...: runs the command and prints "ok" or "FAIL"
# with the description; a failure sets fail=1 for the script's exit status.
check() {
  local what=$1; shift
  if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; fail=1; fi
}
