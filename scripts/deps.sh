#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing jantor
# need, and only those that are missing. Uses sudo when not run as root.
#
#   scripts/deps.sh        # everything the tests need too
#   scripts/deps.sh run    # only what building jantor and its demo need
set -euo pipefail

# Building jantor and running it on SQLite against a local nginx; tzdata
# and the date library give the calendar schedules their time zones, and
# nlohmann's header-only library writes the status page's JSON; python3
# runs the demo's webhook receiver.
packages=(
  build-essential cmake pkg-config
  unixodbc unixodbc-dev libsqliteodbc sqlite3
  nginx-light curl tzdata netbase
  libssl-dev openssl ca-certificates
  libsystemd-dev
  libhowardhinnant-date-dev libdate-tz3
  nlohmann-json3-dev
  python3
)
# The tests: the server databases and their drivers, the tools the tests
# drive, the sanitizers' and fuzzers' compiler, the benchmark's plotter.
if [ "${1:-test}" != run ]; then
  packages+=(
    libgtest-dev libgmock-dev
    postgresql odbc-postgresql
    mariadb-server odbc-mariadb
    man-db groff-base bsdextrautils systemd
    iproute2 util-linux procps faketime
    prometheus
    clang-14 libclang-rt-14-dev valgrind gnuplot-nox strace
    # The pages that -m serves are tested in a real browser: headless
    # chromium driven through chromedriver by selenium (tests/support/
    # browser.py); xmllint checks the badges are well-formed SVG, and the
    # JSON library writes the entries list and reads the browser's reports.
    chromium chromium-driver python3-selenium libxml2-utils
  )
fi
[ "${JANTOR_DEPS_EXTRA:-}" ] && read -r -a extra <<<"$JANTOR_DEPS_EXTRA" && packages+=("${extra[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
# The postgresql package must not start a system cluster of its own: the
# tests start a private server on a loopback port when they need one.
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
