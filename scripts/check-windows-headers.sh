#!/usr/bin/env bash
# The application code (app/, fetch/, wallpaper/) may use only what Windows
# offers. Compiles each of its sources for the original 32-bit target
# against the real Windows headers of MinGW-w64, syntax only, so that a
# Linux-only call or header slipping in fails here.
set -euo pipefail
cd "$(dirname "$0")/.."

compiler=${MINGW_CXX:-i686-w64-mingw32-g++}
if ! command -v "$compiler" >/dev/null; then
  echo "check-windows-headers: $compiler is missing (Debian package g++-mingw-w64-i686)" >&2
  exit 1
fi

# The JPEG library's public headers, which the converters' headers include;
# nothing else of the system's include folders is visible.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for header in jpeglib.h jmorecfg.h jerror.h; do
  [ -f "/usr/include/$header" ] && cp "/usr/include/$header" "$scratch/"
done
cp "$(find /usr/include -name jconfig.h -path '*linux-gnu*' | head -n 1)" "$scratch/"

# The project's own headers, but never platform/include: there the real
# <windows.h> and <winsock.h> stand in.
includes=(-I "$scratch")
for dir in app fetch wallpaper convert/common convert/probe convert/djpeg convert/cjpeg convert/png convert/webp; do
  includes+=(-I "$dir")
done

# The library's Windows build takes `boolean` from the Windows headers
# (rpcndr.h) instead of declaring its own; the copied Linux configuration
# is told the same.
flags=(-fsyntax-only -std=c++20 -DHAVE_BOOLEAN)

failed=()
for source in app/*.cpp fetch/*.cpp wallpaper/*.cpp; do
  [ -f "$source" ] || continue
  if ! output=$("$compiler" "${flags[@]}" "${includes[@]}" "$source" 2>&1); then
    failed+=("$source")
    echo "$output" | grep -E 'error' | sed "s|^|  |" >&2
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "check-windows-headers: these sources use what the Windows headers do not declare:" >&2
  printf '  %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "check-windows-headers: app/, fetch/ and wallpaper/ compile against the Windows headers"
