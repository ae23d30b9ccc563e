#!/usr/bin/env bash
# Builds the Debian package from a configured build tree, checks its paths and
# dependencies, unpacks it without installing and converts a small generated
# collection through the unpacked bin/erp2npx link from another directory.
# usage: package_test.sh BUILD_DIR GENERATOR
set -euo pipefail
build=$1 generator=$2
tmp=$(mktemp -d "${TMPDIR:-/tmp}/erp2npx-package-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$tmp/package" >/dev/null)
debs=("$tmp"/package/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb: ${debs[*]}"
deb=${debs[0]}

contents=$(dpkg-deb -c "$deb" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }')
for path in "./usr/bin/erp2npx -> ../lib/erp2npx/erp2npx" ./usr/bin/npxcheck \
            ./usr/lib/erp2npx/erp2npx ./usr/lib/erp2npx/4by5_QUOLMET.enc \
            ./usr/lib/erp2npx/6by6_QUOLMET.enc ./usr/lib/erp2npx/6by7_QUOLMET.enc; do
  grep -qxF -- "$path" <<<"$contents" || fail "$deb lacks '$path'; it holds:"$'\n'"$contents"
done
depends=$(dpkg-deb -f "$deb" Depends)
for library in libhdf5 libpugixml; do
  grep -q "$library" <<<"$depends" || fail "Depends '$depends' names no $library"
done

dpkg-deb -x "$deb" "$tmp/root"
mkdir "$tmp/work"
"$generator" --out "$tmp/work" --subjects-per-db 1 --trials-per-session 1 >/dev/null
(cd "$tmp/work" && "$tmp/root/usr/bin/erp2npx" >"$tmp/out.txt" 2>/dev/null) ||
  fail "the unpacked converter exited with $?: $(cat "$tmp/out.txt")"
! grep -q "Unable to load the Encoder file" "$tmp/out.txt" || fail "$(cat "$tmp/out.txt")"
headers=0
while IFS= read -r -d '' npx; do
  headers=$((headers + 1))
  [ "$(xmllint --xpath 'boolean(/DOC/P2731/ControlInterface/Encoder)' "$npx")" = true ] ||
    fail "$npx: ControlInterface holds no Encoder"
done < <(find "$tmp/work" -name '*.npx' -print0)
[ "$headers" -eq 4 ] || fail "$headers headers written, 4 expected: $(cat "$tmp/out.txt")"
echo "package $(basename "$deb"): paths, Depends '$depends' and $headers headers as expected"
