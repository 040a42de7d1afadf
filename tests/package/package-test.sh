#!/usr/bin/env bash
# The Debian package as a lab meets it, without installing it: its contents
# unpacked into a temporary root (dpkg-deb -x) and run from there. Every
# program says the package's version; kestrova-record makes a take on
# simulated cameras that kestrova-take verify calls sound and whose
# VERSION.txt names that version; Debian's python3 opens it with the
# packaged reader; every manual page renders; lintian finds no error.
#
# usage: package-test.sh DEB
# Exits 77 (skipped) when DEB was not built: scripts/package.sh builds it.
set -euo pipefail
deb=$1
if [ ! -f "$deb" ]; then
  echo "skipped: no package at $deb (scripts/package.sh builds it; scripts/test.sh does so before the tests)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

dpkg-deb -x "$deb" "$root"
version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$deb" Depends)
echo "package $(basename "$deb"): version $version, $(stat -c %s "$deb") bytes"
echo "depends: $depends"
[ "$(basename "$deb")" = "kestrova_${version}_amd64.deb" ] || fail "file name $(basename "$deb") is not kestrova_${version}_amd64.deb"
for needed in python3 python3-numpy libfreenect0.5 libddsc0debian libqt5widgets5 libpcl-io1.13; do
  [[ ",$depends," == *", $needed"[\ ,]* || ",$depends," == *",$needed"[\ ,]* ]] || fail "Depends lacks $needed"
done

programs=(kestrova kestrova-record kestrova-station kestrova-align kestrova-take)
expected=(
  usr/lib/python3/dist-packages/kestrova/__init__.py usr/lib/python3/dist-packages/kestrova/version.py
  usr/share/applications/kestrova.desktop usr/share/icons/hicolor/64x64/apps/kestrova.png
  lib/udev/rules.d/61-kestrova.rules
  usr/share/doc/kestrova/README.md usr/share/doc/kestrova/changelog.gz usr/share/doc/kestrova/copyright)
for program in "${programs[@]}"; do expected+=("usr/bin/$program" "usr/share/man/man1/$program.1.gz"); done
for path in "${expected[@]}"; do [ -e "$root/$path" ] || fail "the package lacks /$path"; done
grep -q '^Exec=kestrova$' "$root/usr/share/applications/kestrova.desktop" || fail "the menu entry does not start kestrova"
grep -q 'idProduct}=="02bf"' "$root/lib/udev/rules.d/61-kestrova.rules" || fail "the udev rules lack the Kinect for Windows"

# The programs from the package, never from a build tree.
export PATH=$root/usr/bin:/usr/bin:/bin
unset DISPLAY
for program in "${programs[@]}"; do
  said=$("$program" --version) || fail "$program --version exits $?"
  [ "$said" = "$program $version" ] || fail "$program --version says '$said', the package is $version"
done
"$root/usr/bin/kestrova" --help | grep -q -- '--sensors SPEC' || fail "kestrova --help"

take=$work/take
mkdir "$take"
(cd "$work" && kestrova-record --sensors sim --frames 30 --out "$take" >"$work/record.log" 2>&1) ||
  { cat "$work/record.log"; fail "kestrova-record exits $?"; }
kestrova-take verify "$take" || fail "kestrova-take verify does not call the take sound"
info=$(kestrova-take info "$take") || fail "kestrova-take info exits $?"
grep -q "written by kestrova $version\$" <<<"$info" || fail "kestrova-take info does not name version $version: $info"
printf '# Kestrova version file 1\r\nWRITTEN: %s\r\n' "$version" | cmp -s - "$take/VERSION.txt" ||
  fail "VERSION.txt: $(od -c "$take/VERSION.txt" | head -3)"

# Debian's python3, with the package's dist-packages in place of the system's.
PYTHONPATH=$root/usr/lib/python3/dist-packages PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 - "$take" "$version" "$root" <<'PY' ||
import sys
import kestrova
take_dir, version, root = sys.argv[1:]
assert kestrova.__file__.startswith(root), kestrova.__file__
take = kestrova.open_take(take_dir)
assert take.cameras and all(len(take.frame_numbers(n)) == 30 for n in take.cameras), take.cameras
assert take.version.written == version and take.version.recorded is None, take.version
print(f"python3 read cameras {take.cameras}, 30 frames each, written by kestrova {take.version.written}")
PY
  fail "the Python reader"

for program in "${programs[@]}"; do
  page=$(MANWIDTH=100 man -l "$root/usr/share/man/man1/$program.1.gz" 2>&1) || fail "man -l $program.1.gz"
  grep -q "^NAME" <<<"$page" && grep -q "$program" <<<"$page" || fail "the manual page of $program: $page"
done
page=$(MANWIDTH=100 man -l "$root/usr/share/man/man1/kestrova-take.1.gz")
for command in info verify export view times reprocess align; do
  grep -q "kestrova-take $command" <<<"$page" || fail "man kestrova-take does not list $command"
done

if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1 || true
  cat "$work/lintian.txt"
  grep -q '^E: ' "$work/lintian.txt" && fail "lintian reports errors"
else
  echo "lintian is not installed: not checked"
fi

[ "$failures" -eq 0 ] || { echo "$failures failures"; exit 1; }
echo "the package is sound"
