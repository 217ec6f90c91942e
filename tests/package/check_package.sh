#!/usr/bin/env bash
# The Debian package of a build: made by cpack, unpacked into a temporary root with dpkg -x, it holds the programs,
# their manual pages (rendered by man -l), the docs and the user service, and nothing outside /usr; its dependencies
# come from the binaries plus alsa-utils; the unit verifies against the unpacked files; lintian finds no error.
# check_package.sh BUILD_DIR FACE   (FACE: 1 when the face programs belong in the package, else 0)
set -euo pipefail
build=$1
face=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
debs=("$work"/out/lumivar_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one lumivar_*.deb, got: $(ls "$work/out")"
deb=${debs[0]}

[ "$(dpkg-deb -f "$deb" Package)" = lumivar ] || fail "package name"
depends=$(dpkg-deb -f "$deb" Depends)
for dependency in alsa-utils libc6 libstdc++6; do
  tr ',' '\n' <<<"$depends" | awk '{print $1}' | grep -Fxq "$dependency" || fail "Depends lacks $dependency: $depends"
done
# Nothing to configure or remove by hand: no maintainer scripts, no conffiles, every file under /usr.
dpkg-deb -e "$deb" "$work/control"
for script in preinst postinst prerm postrm conffiles; do
  [ ! -e "$work/control/$script" ] || fail "the package has $script"
done
outside=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -Ev '^\./(usr(/.*)?)?$' || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"

root=$work/root
dpkg -x "$deb" "$root"
expected=(usr/bin/vocrin usr/share/man/man1/vocrin.1.gz usr/bin/lumivar_speaker
          usr/share/man/man1/lumivar_speaker.1.gz usr/share/doc/lumivar/lumivar_speaker.md
          usr/share/doc/lumivar/copyright
          usr/share/doc/lumivar/changelog.gz usr/share/doc/lumivar/vocrin.md
          usr/lib/systemd/user/vocrin-mic.service usr/libexec/lumivar/vocrin-mic-source)
face_files=(usr/bin/lumivar_face usr/bin/lumivar_enroll usr/bin/lumivar_calibrate
            usr/share/man/man1/lumivar_face.1.gz usr/share/man/man1/lumivar_enroll.1.gz
            usr/share/man/man1/lumivar_calibrate.1.gz usr/share/doc/lumivar/lumivar_face.md)
if [ "$face" = 1 ]; then
  expected+=("${face_files[@]}")
else
  for file in "${face_files[@]}" usr/bin/lumivar_face_sim; do
    [ ! -e "$root/$file" ] || fail "$file is in a package built on the simulated sensor"
  done
  grep -q "face programs are not in this package" "$root/usr/share/doc/lumivar/README.Debian" ||
    fail "no note on the face programs left out"
fi
for file in "${expected[@]}"; do
  [ -f "$root/$file" ] || fail "missing $file"
done
for program in "$root"/usr/bin/* "$root/usr/libexec/lumivar/vocrin-mic-source"; do
  [ -x "$program" ] || fail "$program is not executable"
done
"$root/usr/bin/vocrin" --help | grep -q '^Usage: .*vocrin \[options\]' || fail "the packaged vocrin does not run"
"$root/usr/bin/lumivar_speaker" --help | grep -q '^Usage: .*lumivar_speaker --faces' || fail "the packaged lumivar_speaker does not run"

for page in "$root"/usr/share/man/man1/*.1.gz; do
  name=$(basename "$page" .1.gz)
  rendered=$(LC_ALL=C MANWIDTH=200 man -l "$page" 2>/dev/null) || fail "man -l $page"
  grep -Eq "^ +$name - [a-z]" <<<"$rendered" || fail "$page has no NAME line"
  grep -q -- "--help" <<<"$rendered" || fail "$page lists no options"
done

# The unit names the packaged files: verified with the unpacked root in their place.
unit=$root/usr/lib/systemd/user/vocrin-mic.service
grep -q '^ExecStart=/usr/bin/vocrin --live ' "$unit" || fail "the unit does not run /usr/bin/vocrin --live"
grep -q '^ExecStopPost=-/usr/libexec/lumivar/vocrin-mic-source unload %t/vocrin-mic.fifo$' "$unit" || fail "the unit does not unload"
if command -v systemd-analyze >/dev/null; then
  mkdir -m 700 "$work/runtime" "$work/verify"
  sed "s|/usr/|$root/usr/|g" "$unit" >"$work/verify/vocrin-mic.service"
  XDG_RUNTIME_DIR=$work/runtime MANPATH=$root/usr/share/man \
    systemd-analyze --user verify "$work/verify/vocrin-mic.service" || fail "systemd-analyze --user verify"
else
  echo "systemd-analyze not found: the unit is not verified"
fi

if command -v lintian >/dev/null; then
  lintian --no-tag-display-limit "$deb" >"$work/lintian.txt" 2>&1 || true
  if grep -q '^E: ' "$work/lintian.txt"; then
    cat "$work/lintian.txt"
    fail "lintian reports errors"
  fi
  echo "lintian: no error ($(grep -c '^W: ' "$work/lintian.txt" || true) warnings)"
else
  echo "lintian not found (Debian: lintian): the package is not linted"
fi
echo "package: $(basename "$deb"), $(dpkg-deb -c "$deb" | grep -vc '/$') files"
