#!/usr/bin/env bash
# Configures a packaging build to see that it needs no GoogleTest. Builds the
# Debian package from a configured build tree, checks its contents,
# dependencies, changelog, manual pages and lintian's verdict, unpacks it
# without installing, generates a collection with the unpacked generator,
# converts it through the unpacked bin/erp2npx link from another directory
# and imports the unpacked Python reader.
# usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/erp2npx-package-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A packaging build leaves out the tests, fuzz targets and benchmark, and so
# needs no GoogleTest: configuring it with GoogleTest barred must succeed.
source=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$source" -B "$tmp/packaging-build" -DERP2NPX_BUILD_TESTS=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$tmp/configure.txt" 2>&1 ||
  fail "configuring with -DERP2NPX_BUILD_TESTS=OFF and no GoogleTest fails: $(cat "$tmp/configure.txt")"
for folder in tests bench fuzz; do
  [ ! -e "$tmp/packaging-build/$folder" ] || fail "-DERP2NPX_BUILD_TESTS=OFF still builds $folder/"
done

(cd "$build" && cpack -G DEB -B "$tmp/package" >/dev/null)
debs=("$tmp"/package/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb: ${debs[*]}"
deb=${debs[0]}

# Mode and path of every entry; a file a user reads must be readable by all.
contents=$(dpkg-deb -c "$deb" | awk '{ mode = $1; $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, "");
                                       print mode " " $0 }')
doc=./usr/share/doc/erp2npx man=./usr/share/man/man1
for entry in "lrwxrwxrwx ./usr/bin/erp2npx -> ../lib/erp2npx/erp2npx" \
             "-rwxr-xr-x ./usr/bin/npxcheck" "-rwxr-xr-x ./usr/bin/erp2npx-make-sample" \
             "-rwxr-xr-x ./usr/lib/erp2npx/erp2npx" "-rw-r--r-- ./usr/lib/erp2npx/4by5_QUOLMET.enc" \
             "-rw-r--r-- ./usr/lib/erp2npx/6by6_QUOLMET.enc" \
             "-rw-r--r-- ./usr/lib/erp2npx/6by7_QUOLMET.enc" \
             "-rw-r--r-- $man/erp2npx.1.gz" "-rw-r--r-- $man/npxcheck.1.gz" \
             "-rw-r--r-- $man/erp2npx-make-sample.1.gz" \
             "-rw-r--r-- $doc/copyright" "-rw-r--r-- $doc/changelog.gz" \
             "-rw-r--r-- $doc/README.md" "-rw-r--r-- $doc/FORMAT.md" \
             "-rw-r--r-- ./usr/lib/python3/dist-packages/npxread.py"; do
  grep -qxF -- "$entry" <<<"$contents" || fail "$deb lacks '$entry'; it holds:"$'\n'"$contents"
done
# The reader is byte-compiled on install and its cache removed before removal.
for script in "postinst:py3compile -p erp2npx" "prerm:py3clean -p erp2npx"; do
  dpkg-deb -I "$deb" "${script%%:*}" 2>/dev/null | grep -qF "${script#*:}" ||
    fail "the package's ${script%%:*} does not run '${script#*:}'"
done
depends=$(dpkg-deb -f "$deb" Depends)
for library in libhdf5 libpugixml; do
  grep -q "$library" <<<"$depends" || fail "Depends '$depends' names no $library"
done

dpkg-deb -x "$deb" "$tmp/root"
root=$tmp/root
version=$(dpkg-deb -f "$deb" Version)
zcat "$root/usr/share/doc/erp2npx/changelog.gz" >"$tmp/changelog"
logged=$(dpkg-parsechangelog -l "$tmp/changelog" -S Version)
[ "$logged" = "$version" ] || fail "the changelog's latest entry is $logged, the package $version"

if command -v lintian >/dev/null; then
  # Everything lintian finds wrong (E:) or doubtful (W:) here can be mended.
  lintian "$deb" >"$tmp/lintian.txt" 2>/dev/null || true
  ! grep -E '^[EW]: ' "$tmp/lintian.txt" || fail "lintian finds the lines above in $deb"
  lintian_verdict="lintian clean"
else
  echo "lintian is not installed: the package is not checked with it"
  lintian_verdict="lintian skipped"
fi

# Every page renders without a warning, and man finds it through PATH as it
# does under any installation prefix.
pages=0
for command in erp2npx npxcheck erp2npx-make-sample; do
  page=$root/usr/share/man/man1/$command.1.gz
  found=$(unset MANPATH; PATH="$root/usr/bin:$PATH" man -w "$command")
  [ "$found" = "$page" ] || fail "man -w $command finds '$found', not $page"
  rendered=$(MANWIDTH=80 man --warnings -l "$page" 2>"$tmp/man-warnings.txt") ||
    fail "man cannot render $page"
  [ ! -s "$tmp/man-warnings.txt" ] || fail "$page: $(cat "$tmp/man-warnings.txt")"
  grep -q "^NAME" <<<"$rendered" || fail "$page renders without a NAME section"
  grep -qF "erp2npx $version" <<<"$rendered" || fail "$page does not name version $version"
  # The page keeps up with the command: every option its --help names.
  if [ "$command" != erp2npx ]; then
    help=$("$root/usr/bin/$command" --help) || fail "$command --help exited with $?"
    for option in $(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
      grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" <<<"$rendered" ||
        fail "$page does not describe $option, which $command --help names"
    done
  fi
  pages=$((pages + 1))
done

mkdir "$tmp/work"
"$root/usr/bin/erp2npx-make-sample" --out "$tmp/work" --subjects-per-db 1 --trials-per-session 1 \
  >/dev/null || fail "the unpacked generator exited with $?"
(cd "$tmp/work" && "$root/usr/bin/erp2npx" >"$tmp/out.txt" 2>/dev/null) ||
  fail "the unpacked converter exited with $?: $(cat "$tmp/out.txt")"
! grep -q "Unable to load the Encoder file" "$tmp/out.txt" || fail "$(cat "$tmp/out.txt")"
headers=0
while IFS= read -r -d '' npx; do
  headers=$((headers + 1))
  [ "$(xmllint --xpath 'boolean(/DOC/P2731/ControlInterface/Encoder)' "$npx")" = true ] ||
    fail "$npx: ControlInterface holds no Encoder"
done < <(find "$tmp/work" -name '*.npx' -print0)
[ "$headers" -eq 4 ] || fail "$headers headers written, 4 expected: $(cat "$tmp/out.txt")"

# The distribution's python3, which has numpy (install-deps.sh).
python=/usr/bin/python3
[ -x "$python" ] || python=python3
reader=$root/usr/lib/python3/dist-packages
imported=$(cd "$tmp" && PYTHONPATH="$reader" "$python" -B -c 'import npxread; print(npxread.__file__)') ||
  fail "npxread does not import from $reader"
[ "$imported" = "$reader/npxread.py" ] || fail "npxread imported from $imported, not $reader"
# The installed reader reads what the installed converter wrote.
read_sessions=$(cd "$tmp" && PYTHONPATH="$reader" "$python" -B -c \
  'import sys, npxread; print(sum(len(s.code) for s in npxread.read_tree(sys.argv[1])))' "$tmp/work") ||
  fail "the installed reader cannot read the converted tree"
[ "$read_sessions" -gt 0 ] || fail "the installed reader found no epoch in the converted tree"

echo "package $(basename "$deb"): contents, Depends '$depends', changelog $logged," \
     "$lintian_verdict, $pages manual pages, $headers headers and the reader as expected"
