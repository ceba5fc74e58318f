#!/usr/bin/env bash
# Installs the built program into a temporary prefix and builds the Debian package, then
# checks that both hold the program, the man page and the sample configuration.
set -euo pipefail
build_dir=$1
work=$(mktemp -d /tmp/fgv-install.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
[ -x "$work/prefix/bin/forgeval" ] || fail "bin/forgeval missing"
[ -f "$work/prefix/share/man/man1/forgeval.1" ] || fail "man page missing"
[ -f "$work/prefix/share/doc/forgeval/forgeval.ini" ] || fail "sample configuration missing"
"$work/prefix/bin/forgeval" --version | grep -qx "Forgeval 1.3" || fail "installed program"
if command -v man >/dev/null 2>&1; then
  MANWIDTH=80 man -l "$work/prefix/share/man/man1/forgeval.1" 2>/dev/null | grep -q "EXIT STATUS" \
    || fail "man page does not render"
fi

(cd "$work" && cpack --config "$build_dir/CPackConfig.cmake" -B "$work/package" >/dev/null) \
  || fail "cpack failed"
deb=$(ls "$work"/package/*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "no .deb built"
contents=$(dpkg-deb -c "$deb")
for wanted in ./usr/bin/forgeval ./usr/share/man/man1/forgeval.1 ./usr/share/doc/forgeval/forgeval.ini; do
  grep -q " $wanted\$" <<<"$contents" || fail "$wanted not in $(basename "$deb")"
done
echo "install and package: ok ($(basename "$deb"))"
