#!/usr/bin/env bash
# Installs the built program into a temporary prefix and builds the Debian package; both must
# hold the program, the man page and the sample configuration.
set -euo pipefail
work=$(mktemp -d /tmp/fgv-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cmake --install "$1" --prefix "$work/prefix" >/dev/null
wanted="bin/forgeval share/man/man1/forgeval.1 share/doc/forgeval/forgeval.ini share/doc/forgeval/LICENSE"
for file in $wanted; do [ -f "$work/prefix/$file" ] || fail "$file not installed"; done
[ "$("$work/prefix/bin/forgeval" --version)" = "Forgeval 1.3" ] || fail "installed program"
if command -v man >/dev/null; then
  MANWIDTH=80 man -l "$work/prefix/share/man/man1/forgeval.1" 2>/dev/null | grep -q "EXIT STATUS" \
    || fail "man page does not render"
fi
(cd "$work" && cpack --config "$1/CPackConfig.cmake" -B "$work/package" >/dev/null) || fail "cpack"
deb=$(ls "$work"/package/*.deb | head -n 1)
contents=$(dpkg-deb -c "$deb")
for file in $wanted; do grep -q " ./usr/$file\$" <<<"$contents" || fail "$file not in $deb"; done
echo "install and package: ok ($(basename "$deb"))"
