#!/usr/bin/env bash
# The Windows package: forgeval-<version>-win64.zip holds the program, the sample configuration,
# the README and the licence in one folder, and the program in it starts under Wine.
set -euo pipefail
work=$(mktemp -d /tmp/fgv-zip.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
(cd "$work" && cpack --config "$1/CPackConfig.cmake" -B "$work/package" >/dev/null) || fail "cpack"
zip=$(ls "$work"/package/forgeval-*-win64.zip) || fail "no forgeval-<version>-win64.zip"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$work/x"
folder="$work/x/$(basename "$zip" .zip)"
for file in forgeval.exe forgeval.ini README.md LICENSE; do
  [ -f "$folder/$file" ] || fail "$file not in $(basename "$zip")"
done
version=$(cd "$folder" && wine forgeval.exe --version | tr -d '\r')
[ "$version" = "Forgeval $(basename "$zip" | sed -E 's/forgeval-(.*)-win64.zip/\1/')" ] ||
  fail "the packaged program says '$version'"
echo "package: ok ($(basename "$zip"))"
