#!/usr/bin/env bash
# Demonstration of the main job: skerrow, started without a display in an
# empty folder, is given five pictures, three served over loopback HTTP and
# two as file:// addresses, and sets them as the wallpaper one after the
# other, once a second. Every change is shown as
# it happens; the run ends by itself after the last picture. Then the same
# list runs on a private X display (Xvfb) as a desktop would: the pictures
# reach the root window, a second start brings the hidden window back, and
# a screenshot of that screen is kept as build/demo-desktop.png.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
pid=
server=
xserver=
trap '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; [ -n "$server" ] && kill "$server" 2>/dev/null;
      [ -n "$xserver" ] && kill "$xserver" 2>/dev/null; rm -rf "$work"' EXIT
home="$work/home"; pictures="$home/pictures"; temp="$work/temp"; state="$work/state"; runtime="$work/runtime"
mkdir -p "$pictures" "$temp" "$state"
# A runtime folder of its own, so that the demonstration never hands over to
# a program the person running it has started.
mkdir -m 700 "$runtime"

echo "== making pictures"
draw() {  # width height pattern
  awk -v w="$1" -v h="$2" -v p="$3" 'BEGIN { printf "P3\n%d %d\n255\n", w, h;
    for (y = 0; y < h; y++) for (x = 0; x < w; x++) {
      if (p == 1) printf "%d %d %d\n", int(255 * x / (w - 1)), int(255 * y / (h - 1)), 160
      else printf "%d %d %d\n", (int(x / 40) + int(y / 40)) % 2 ? 230 : 40, int(200 * y / (h - 1)), 90 } }'
}
draw 320 200 1 > "$work/gradient.ppm"
draw 320 200 2 > "$work/checks.ppm"
"$build/tools/cjpeg" -quality 85 "$work/gradient.ppm" "$pictures/gradient.jpg"
"$build/tools/cjpeg" -quality 75 "$work/checks.ppm" "$pictures/checks.jpeg"
"$build/tools/djpeg" -bmp "$pictures/checks.jpeg" "$pictures/meadow.bmp"
convert -size 320x200 gradient:orange-navy -colors 128 "$pictures/sky.gif"
convert -size 320x200 radial-gradient:white-darkgreen -colors 64 "$pictures/LEAF.GIF"
names=(sky.gif gradient.jpg checks.jpeg meadow.bmp LEAF.GIF)

echo "== serving $pictures on loopback"
/usr/bin/python3 -c '
import sys, functools, http.server
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args): pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=sys.argv[1]))
print(server.server_port, flush=True)
server.serve_forever()' "$pictures" > "$work/port" &
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
base="http://127.0.0.1:$(cat "$work/port")"
echo "  $base/"
{
  echo "# the demonstration's pictures, one a second"
  echo "get-timer:1000"
  echo "$base/sky.gif"
  echo "file://$pictures/gradient.jpg"
  echo "$base/checks.jpeg"
  echo "$base/meadow.bmp"
  echo "file://$pictures/LEAF.GIF"
} > "$home/skerrow.cnf"
for n in "${names[@]}"; do
  printf '  %-13s %s\n' "$n" "$(identify -format '%m %wx%h' "$pictures/$n")"
done
sums_before=$(cd "$pictures" && sha256sum "${names[@]}")

echo "== running skerrow in $home (TEMP=$temp)"
(cd "$home" && exec env -u DISPLAY -u WAYLAND_DISPLAY TEMP="$temp" XDG_STATE_HOME="$state" XDG_RUNTIME_DIR="$runtime" \
  SKERROW_DESKTOP=none "$build/app/skerrow") 2> "$work/skerrow.log" &
pid=$!
newest_copy() { ls -t "$state"/skerrow/wallpaper-*.bmp 2>/dev/null | head -n 1; }
shown=0
deadline=$((SECONDS + 60))
while [ "$shown" -lt "${#names[@]}" ] && [ "$SECONDS" -lt "$deadline" ] && kill -0 "$pid" 2>/dev/null; do
  while IFS= read -r line; do
    shown=$((shown + 1))
    printf '  change %d at %s: %s -> stored wallpaper %s\n' "$shown" "$(date +%T)" "${line#wallpaper: $work/}" \
      "$(identify -format '%m %wx%h' "$(newest_copy)" 2>/dev/null || echo '(unreadable)')"
  done < <(grep '^wallpaper: ' "$work/skerrow.log" | tail -n +"$((shown + 1))")
  sleep 0.1
done
kill -TERM "$pid" 2>/dev/null || true
status=0
wait "$pid" || status=$?
pid=
grep -v '^wallpaper: ' "$work/skerrow.log" | sed 's/^/  skerrow: /' || true

echo "== afterwards"
echo "  skerrow ended with exit code $status after $shown wallpaper changes"
echo "  left in TEMP: $(ls -A "$temp" | wc -l) files"
if [ "$sums_before" = "$(cd "$pictures" && sha256sum "${names[@]}")" ]; then
  echo "  the pictures are untouched"
else
  echo "  the pictures changed!"; status=1
fi
[ "$shown" -eq "${#names[@]}" ] || status=1

if [ "$status" -eq 0 ] && command -v Xvfb >/dev/null; then
  echo "== on a private X display, as a desktop"
  exec 3> "$work/display"
  Xvfb -displayfd 3 -screen 0 960x600x24 -nolisten tcp 2>/dev/null &
  xserver=$!
  exec 3>&-
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
  export DISPLAY=":$(head -n 1 "$work/display")"
  rm -rf "$state"; mkdir -p "$state"
  run_desktop() {  # replaces the shell it runs in: call it in a subshell
    cd "$home" && exec env TEMP="$temp" XDG_STATE_HOME="$state" XDG_RUNTIME_DIR="$runtime" \
      SKERROW_DESKTOP=x11 "$build/app/skerrow"
  }
  run_desktop 2> "$work/desktop.log" &
  pid=$!
  deadline=$((SECONDS + 60))
  while [ "$(grep -c '^wallpaper: ' "$work/desktop.log")" -lt 3 ] && [ "$SECONDS" -lt "$deadline" ] &&
    kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
  changes=$(grep -c '^wallpaper: ' "$work/desktop.log" || true)
  root=$(xprop -root _XROOTPMAP_ID 2>/dev/null | sed 's/.*# //')
  echo "  $changes pictures reached the root window (root pixmap $root)"
  # Another start with an option steers the running program.
  env XDG_RUNTIME_DIR="$runtime" "$build/app/skerrow" --current 2>&1 | sed 's/^/  skerrow --current: /' || true
  # The window is hidden while it rotates; starting skerrow again brings it back.
  # Bounded: should the first have gone, this start would stay as the program.
  (run_desktop) 2>/dev/null &
  second=$!
  for _ in $(seq 100); do kill -0 "$second" 2>/dev/null || break; sleep 0.1; done
  kill -TERM "$second" 2>/dev/null || true
  wait "$second" 2>/dev/null || true
  sleep 1
  import -window root "$build/demo-desktop.png" 2>/dev/null && echo "  screenshot: $build/demo-desktop.png"
  kill -TERM "$pid" 2>/dev/null || true
  desktop_status=0
  wait "$pid" || desktop_status=$?
  pid=
  grep -v '^wallpaper: ' "$work/desktop.log" | grep -v '^QStandardPaths' | sed 's/^/  skerrow: /' || true
  echo "  skerrow ended with exit code $desktop_status"
  kill "$xserver" 2>/dev/null || true
  xserver=
  if ! { [ "$changes" -ge 3 ] && [ -n "$root" ] && [ "$desktop_status" -eq 0 ]; }; then
    status=1
    echo "  the program's whole log:"
    sed 's/^/    /' "$work/desktop.log"
  fi
fi
[ "$status" -eq 0 ] && echo "demonstration finished" || echo "demonstration FAILED"
exit "$status"
