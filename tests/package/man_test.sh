#!/usr/bin/env bash
# The manual page: groff and man find nothing to warn about, and it
# documents every option that the program's own usage text names.
# Usage: man_test.sh MANPAGE JANTOR
set -uo pipefail
page=$1 jantor=$2
fail=0
. "$(dirname "$0")/../support/lib.sh"

warnings=$(man -l --warnings "$page" 2>&1 >/dev/null)
check "man -l --warnings says nothing" test -z "$warnings"
[ -z "$warnings" ] || echo "$warnings"

rendered=$(MANWIDTH=100 man -l "$page" 2>/dev/null | col -b)
check "the page renders" test -n "$rendered"
section() {  # the text of one section: from its heading to the next
  awk -v h="$1" '/^[A-Z]/ {on = ($0 == h)} on' <<<"$rendered"
}

# An unknown option makes jantor print its long usage text.
usage=$("$jantor" -x | tr -d '\r' | grep '^Usage')
options=$(grep -o ' -[a-z]' <<<"$usage" | tr -d ' ' | sort -u)
check "the usage text names options" test "$(wc -w <<<"$options")" -ge 7
for option in $options; do
  check "OPTIONS describes $option" grep -Eq "^ +$option( |\$)" <<<"$(section OPTIONS)"
done
# Options the usage text is too old to name.
for option in -c -l -k -m -f -q -s; do
  check "OPTIONS describes $option" grep -Eq "^ +$option( |\$)" <<<"$(section OPTIONS)"
done
for column in entry_id due started duration_ms outcome status bytes reason attempt; do
  check "the results section describes $column" grep -Eq "^ +$column\b" \
    <<<"$(section 'THE RESULTS TABLE')"
done
for status in 0 1; do
  check "EXIT STATUS describes $status" grep -Eq "^ +$status " <<<"$(section 'EXIT STATUS')"
done
for column in id i_user i_pass i_port i_object i_host i_timeout i_interval i_next i_start i_stop \
  i_retries i_retry_delay i_attempt i_run i_failures i_outcome; do
  check "the table section describes $column" grep -Eq "^ +$column\b|^ +[a-z_]+, $column\b" \
    <<<"$(section 'THE SCHEDULE TABLE')"
done
for signal in SIGALRM SIGTERM SIGINT; do
  check "SIGNALS describes $signal" grep -q "$signal" <<<"$(section SIGNALS)"
done
for kind in SQLite PostgreSQL MariaDB; do
  check "an example for $kind" grep -Eq "^ +$kind\$" <<<"$(section EXAMPLES)"
done
exit $fail
