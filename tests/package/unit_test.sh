#!/usr/bin/env bash
# The systemd units as cmake --install writes them, and the example
# environment file: systemd-analyze verify finds nothing wrong with
# jantor.service or an instance of jantor@.service (program and manual
# page included), the units keep the promises the README makes, the
# example's settings make a command line that jantor accepts, and the
# example alert rules load and fire when they should.
# Usage: unit_test.sh BUILD_DIR JANTOR WORK_DIR
set -uo pipefail
build=$(realpath "$1") jantor=$(realpath "$2") work=$(realpath -m "$3")
fail=0
. "$(dirname "$0")/../support/lib.sh"
rm -rf "$work"
mkdir -p "$work/units"
trap 'rm -rf "$work"' EXIT
DESTDIR=$work/stage cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; exit 1; }
stage=$work/stage
installed=$stage/usr/lib/systemd/system
check "jantor.service installed" test -f "$installed/jantor.service"
check "jantor@.service installed" test -f "$installed/jantor@.service"
# The program they start is not installed on this machine: point them at
# the one just built.
sed "s|^ExecStart=/usr/bin/jantor |ExecStart=$jantor |" "$installed/jantor.service" \
  >"$work/units/jantor.service"
sed "s|^ExecStart=/usr/bin/jantor |ExecStart=$jantor |" "$installed/jantor@.service" \
  >"$work/units/jantor@p0.service"

for unit in jantor.service jantor@p0.service; do
  if command -v systemd-analyze >/dev/null; then
    complaints=$(MANPATH=$stage/usr/share/man systemd-analyze verify "$work/units/$unit" 2>&1)
    check "systemd-analyze verify $unit has no complaint" test -z "$complaints"
    [ -z "$complaints" ] || echo "$complaints"
  else
    echo "skipped - systemd-analyze verify $unit (package systemd is not installed)"
  fi
  setting() { grep -E "^$1=" "$work/units/$unit" | tail -n1 | cut -d= -f2-; }
  check "$unit: Restart=on-failure" test "$(setting Restart)" = on-failure
  check "$unit: Type=notify" test "$(setting Type)" = notify
  check "$unit: NotifyAccess=main" test "$(setting NotifyAccess)" = main
  check "$unit: a watchdog" test -n "$(setting WatchdogSec)"
  check "$unit: SIGTERM stops it" test "$(setting KillSignal)" = SIGTERM
  check "$unit: time for the hits in flight" test "$(setting TimeoutStopSec)" = 5min
  check "$unit: a user of its own" test "$(setting DynamicUser)" = yes
  check "$unit: output to the journal" test "$(setting StandardOutput)" = journal
  check "$unit: data source from JANTOR_DSN, options from JANTOR_OPTIONS" \
    grep -q '^ExecStart=.*/jantor -d ${JANTOR_DSN} $JANTOR_OPTIONS$' "$work/units/$unit"
  check "$unit: no @...@ left unreplaced" sh -c "! grep -q '@[A-Z_]*@' '$work/units/$unit'"
done
check "jantor.service reads /etc/default/jantor" \
  grep -qx 'EnvironmentFile=/etc/default/jantor' "$work/units/jantor.service"
check "jantor.service may write /var/lib/jantor" \
  grep -qx 'StateDirectory=jantor' "$work/units/jantor.service"
check "an instance reads /etc/default/jantor-NAME" \
  grep -qx 'EnvironmentFile=/etc/default/jantor-%i' "$work/units/jantor@p0.service"

# What systemd would run with the example settings. No data source of
# that name exists here, so jantor gets as far as the connect: the command
# line has been accepted.
mkdir -p "$work/odbc"
out=$(set -a; . "$stage/usr/share/jantor/examples/jantor.default"
      ODBCSYSINI=$work/odbc ODBCINI=$work/odbc/odbc.ini "$jantor" -d "$JANTOR_DSN" $JANTOR_OPTIONS |
      tr -d '\r')
check "the example's data source reaches jantor" grep -qx 'Using jantor DSN.' <<<"$out"
check "the example's interval reaches jantor" grep -qx 'Using 60s interval.' <<<"$out"
check "the example is quiet" grep -qx 'Using quiet.' <<<"$out"
check "jantor accepts the example's command line" \
  grep -qx 'Could not connect first (selection) ODBC connection.' <<<"$out"
[ $fail -eq 0 ] || echo "$out"

# The example alert rules load in Prometheus, and fire when they should:
# alerts_test.yml, beside this script, holds series and the alerts they
# must raise at given times, and names the rules file it tests by a path
# next to itself.
if command -v promtool >/dev/null; then
  rules=$stage/usr/share/jantor/examples/jantor-alerts.yml
  check "the alert rules pass promtool" promtool check rules "$rules"
  mkdir -p "$work/alerts"
  cp "$rules" "$(dirname "$0")/alerts_test.yml" "$work/alerts/"
  check "the alert rules pass their promtool unit tests" \
    promtool test rules "$work/alerts/alerts_test.yml"
else
  echo "skipped - promtool check rules (package prometheus is not installed)"
  echo "skipped - promtool test rules (package prometheus is not installed)"
fi
exit $fail
