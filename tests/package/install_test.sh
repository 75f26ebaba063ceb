#!/usr/bin/env bash
# cmake --install into a staging folder (DESTDIR) with a prefix other than
# /usr: everything lands in its place, the files that name installed paths
# name the prefix, and a program builds against the staged library through
# its pkg-config file.
# Usage: install_test.sh BUILD_DIR WORK_DIR
set -uo pipefail
build=$(realpath "$1") work=$(realpath -m "$2")
prefix=/opt/jantor-test
fail=0
. "$(dirname "$0")/../support/lib.sh"
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
DESTDIR=$work/stage cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; exit 1; }
stage=$work/stage
p=$stage$prefix

check "the program" test -x "$p/bin/jantor"
check "the library" test -f "$(ls "$p"/lib*/libjantorsupport.a "$p"/lib/*/libjantorsupport.a 2>/dev/null | head -n1)"
for h in base/ll_cpapi.h base/ll_string.h http/ll_http.h http/ed_b64.h net/ll_socks.h registry/reg.h; do
  check "header $h" test -f "$p/include/jantor/$h"
done
check "the manual page" test -f "$p/share/man/man1/jantor.1"
for kind in sqlite postgres mariadb; do
  check "schema $kind" test -f "$p/share/jantor/schema/$kind.sql"
  check "results schema $kind" test -f "$p/share/jantor/schema/$kind-results.sql"
  check "odbc example $kind" test -f "$p/share/jantor/examples/odbc-$kind.ini"
done
check "the environment file example" test -f "$p/share/jantor/examples/jantor.default"
check "the unit starts the installed program" \
  grep -q "^ExecStart=$prefix/bin/jantor " "$p/lib/systemd/system/jantor.service"
check "the unit points at the installed example" \
  grep -q "$prefix/share/jantor/examples/jantor.default" "$p/lib/systemd/system/jantor.service"
for hive in hkey_classes_root hkey_current_user hkey_local_machine hkey_users \
            hkey_performance_data hkey_current_config hkey_dyn_data; do
  check "registry hive $hive, below DESTDIR" test -d "$stage/usr/vornis/registry/$hive"
done
check "nothing outside DESTDIR" sh -c "! test -e '$prefix'"

pc=$(dirname "$(find "$p" -name jantorsupport.pc | head -n1)")
check "pkg-config file names the prefix" grep -qx "prefix=$prefix" "$pc/jantorsupport.pc"
flags=$(PKG_CONFIG_PATH=$pc PKG_CONFIG_SYSROOT_DIR=$stage pkg-config --cflags --libs jantorsupport)
check "a program builds against the staged library and runs" \
  sh -c "g++ -std=c++20 -o '$work/b64' '$(dirname "$(realpath "$0")")/consumer.cc' $flags && '$work/b64'"
exit $fail
