#!/usr/bin/env bash
# Cross-builds the Windows unit tests (CMakeLists.txt here) into
# build-windows/ and runs them under Wine in a prefix made for this run inside
# that folder: HOME and the XDG folders point there too, so Wine writes
# nothing outside the build tree (apart from wineserver's socket under /tmp,
# which is keyed to the prefix and goes away with the server).
# Extra arguments go to the test executable (e.g. --gtest_filter=...).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${ZV_WINDOWS_BUILD_DIR:-build-windows}

if [ ! -f "$build/build.ninja" ]; then
  cmake -S tests/windows -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/tests/windows/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$build" -j "${JOBS:-$(nproc)}"

wine_root="$PWD/$build/wine"
export WINEPREFIX="$wine_root/prefix" HOME="$wine_root/home"
export XDG_CACHE_HOME="$wine_root/home/.cache" XDG_CONFIG_HOME="$wine_root/home/.config"
export XDG_DATA_HOME="$wine_root/home/.local/share"
# No Mono or Gecko installers, no desktop menu entries, no window, no chatter.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
stop_wine() { wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT

stop_wine
rm -rf "$wine_root"
mkdir -p "$HOME"
started=$(date +%s)
wine wineboot --init >"$wine_root/wineboot.log" 2>&1 || {
  cat "$wine_root/wineboot.log" >&2
  echo "test-windows: wineboot failed" >&2
  exit 1
}
wineserver -w
echo "test-windows: fresh Wine prefix in $(( $(date +%s) - started )) s"
# A crashed test process can still end with status 0 under Wine: only a report
# written at the end of the run, with no failure in it, counts as a pass.
report="$build/zv_windows_tests.xml"
rm -f "$report"
status=0
wine "$build/zv_windows_tests.exe" --gtest_output="xml:$report" "$@" || status=$?
if [ ! -f "$report" ]; then
  echo "test-windows: the tests ended without their report (crashed?), status $status" >&2
  exit 1
fi
if [ "$status" -ne 0 ] || ! grep -q '<testsuites [^>]*failures="0"' "$report"; then
  echo "test-windows: tests failed (status $status)" >&2
  exit 1
fi
