#!/usr/bin/env bash
# Makes the Debian package from a built tree and checks it as a user would
# meet it: its file list, the Debian and desktop validators, and the program
# unpacked into a scratch root, rotating pictures without a display with its
# modules found from its own place, ending with 0 on SIGTERM.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
scratch=$(mktemp -d)
pid=
xserver=
bus=
trap '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; [ -n "$xserver" ] && kill "$xserver" 2>/dev/null;
      [ -n "$bus" ] && kill "$bus" 2>/dev/null; rm -rf "$scratch"' EXIT

echo "== making the package"
rm -f "$build"/skerrow_*.deb
(cd "$build" && cpack -G DEB > "$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$build"/skerrow_*_*.deb)
echo "$deb"

echo "== its files"
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
expected="./usr/bin/skerrow
./usr/bin/skerrow-cjpeg
./usr/bin/skerrow-djpeg
./usr/lib/$arch/skerrow/libskerrow_desktop.so
./usr/lib/$arch/skerrow/libskerrow_view.so
./usr/share/applications/org.skerrow.Skerrow.desktop
./usr/share/doc/skerrow/changelog.Debian.gz
./usr/share/doc/skerrow/copyright"
for size in 16 24 32 48 64 128 256; do
  expected+=$'\n'"./usr/share/icons/hicolor/${size}x${size}/apps/org.skerrow.Skerrow.png"
done
expected+=$'\n'"./usr/share/man/man1/skerrow-cjpeg.1.gz
./usr/share/man/man1/skerrow-djpeg.1.gz
./usr/share/man/man1/skerrow.1.gz
./usr/share/metainfo/org.skerrow.Skerrow.metainfo.xml"
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
if [ "$actual" != "$(sort <<< "$expected")" ]; then
  diff <(sort <<< "$expected") <(echo "$actual") || true
  echo "the package's files are not the expected ones"; exit 1
fi
dpkg-deb -f "$deb" Depends | grep -q qt6-wayland || { echo "the package does not depend on qt6-wayland"; exit 1; }

echo "== validators"
lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "$deb"
dpkg-deb -x "$deb" "$scratch/root"
desktop-file-validate "$scratch/root/usr/share/applications/org.skerrow.Skerrow.desktop"
appstreamcli validate --no-net "$scratch/root/usr/share/metainfo/org.skerrow.Skerrow.metainfo.xml"
for page in "$scratch"/root/usr/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$page: $warnings"; exit 1; }
done

echo "== the unpacked program, without a display"
bin="$scratch/root/usr/bin"
home="$scratch/home"; mkdir -p "$home/pictures" "$home/temp"
convert -size 64x48 gradient:navy-gold "$home/pictures/a.ppm"
"$bin/skerrow-cjpeg" -quality 90 "$home/pictures/a.ppm" "$home/pictures/a.jpg"
"$bin/skerrow-djpeg" -bmp "$home/pictures/a.jpg" "$home/pictures/b.bmp"
printf 'get-timer:1000\nfile://%s\nfile://%s\n' "$home/pictures/a.jpg" "$home/pictures/b.bmp" > "$home/skerrow.cnf"
# Everything run here keeps its settings in the scratch home.
in_home=(env -i HOME="$home" XDG_RUNTIME_DIR="$scratch" PATH=/usr/bin:/bin)
run_program() {  # seconds, then the environment to run it in
  local seconds=$1; shift
  (cd "$home" && exec "${in_home[@]}" TEMP="$home/temp" XDG_STATE_HOME="$home/state" "$@" \
     "$bin/skerrow" > "$scratch/out.log" 2>&1) &
  pid=$!
  sleep "$seconds"
  kill -TERM "$pid"
  local status=0
  wait "$pid" || status=$?
  pid=
  cat "$scratch/out.log"
  [ "$status" -eq 0 ] || { echo "the program ended with $status"; exit 1; }
}
# The settings desktop's setter lives in a module: a private session bus
# with the real settings service shows it was found and used; the service
# the bus starts writes the scratch home's settings, not the runner's.
read -r address bus < <("${in_home[@]}" dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1 |
  paste -s -d ' ')
run_program 3.5 SKERROW_DESKTOP=gnome DBUS_SESSION_BUS_ADDRESS="$address"
uri=$("${in_home[@]}" DBUS_SESSION_BUS_ADDRESS="$address" gsettings get org.gnome.desktop.background picture-uri)
case "$uri" in
  *"$home/state/skerrow/wallpaper-"*.bmp*) ;;
  *) echo "the settings desktop was not given the stored picture: $uri"; exit 1 ;;
esac
changes=$(grep -c '^wallpaper: ' "$scratch/out.log" || true)
[ "$changes" -ge 2 ] || { echo "expected at least two wallpaper changes, saw $changes"; exit 1; }
if grep -q 'not found' "$scratch/out.log"; then echo "a module was not found"; exit 1; fi
[ -z "$(ls -A "$home/temp")" ] || { echo "the work folder was left behind"; exit 1; }

echo "== the unpacked program's window module, on a private X display"
display=:$((300 + RANDOM % 200))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp > /dev/null 2>&1 &
xserver=$!
for _ in $(seq 50); do xdpyinfo -display "$display" > /dev/null 2>&1 && break; sleep 0.1; done
run_program 3 DISPLAY="$display" SKERROW_DESKTOP=none
if grep -q 'no window on this display' "$scratch/out.log"; then echo "the window module did not load"; exit 1; fi
echo "package checked"
