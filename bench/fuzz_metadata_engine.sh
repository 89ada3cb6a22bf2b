#!/usr/bin/env bash
# Builds the metadata engine's libFuzzer target in its own directory (never part
# of the main CMake build) and runs it for a bounded time.
#
#   bench/fuzz_metadata_engine.sh [SECONDS]     (default 60)
#
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (default 2),
# CXX (default clang++-14). New interesting inputs go to FUZZ_BUILD_DIR/corpus;
# the seeds in tests/fuzz/metadata_engine/corpus stay untouched.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
out="${FUZZ_BUILD_DIR:-$repo/build-fuzz}"
jobs="${FUZZ_JOBS:-2}"
cxx="${CXX:-clang++-14}"
python="$repo/.venv/bin/python"

arrow_include="$("$python" -c 'import pyarrow; print(pyarrow.get_include())')"
arrow_libdir="$("$python" -c 'import pyarrow; print(pyarrow.get_library_dirs()[0])')"
# The wheel names its libraries by major version: libarrow.so.2600 for 26.x.
so_version="$("$python" -c 'import pyarrow; print(int(pyarrow.__version__.split(".")[0]) * 100)')"

mkdir -p "$out/obj" "$out/corpus"
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer
       -I"$repo/src" -isystem "$arrow_include")

# Compile each engine source once per change, two at a time at most.
sources=("$repo"/src/metadata_engine/*.cc "$repo/src/platform/stack_thread.cc"
         "$repo/tests/fuzz/metadata_engine/fuzz_metadata_engine.cc")
objects=()
pids=()
for src in "${sources[@]}"; do
  obj="$out/obj/$(basename "${src%.cc}").o"
  objects+=("$obj")
  if [[ ! -f "$obj" || "$src" -nt "$obj" || -n "$(find "$repo/src/metadata_engine" -name '*.h' -newer "$obj")" ]]; then
    "$cxx" "${flags[@]}" -c "$src" -o "$obj" &
    pids+=($!)
    if (( ${#pids[@]} >= jobs )); then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
  fi
done
for pid in "${pids[@]}"; do wait "$pid"; done

"$cxx" -fsanitize=fuzzer,address "${objects[@]}" -o "$out/fuzz_metadata_engine" \
  "$arrow_libdir/libarrow.so.$so_version" "$arrow_libdir/libarrow_compute.so.$so_version" \
  "$arrow_libdir/libarrow_acero.so.$so_version" \
  -lpg_query -lpthread -Wl,-rpath,"$arrow_libdir"

# Arrow's own allocations are not instrumented; leak checks would only report
# its process-lifetime registries.
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}" \
"$out/fuzz_metadata_engine" "$out/corpus" "$repo/tests/fuzz/metadata_engine/corpus" \
  -dict="$repo/tests/fuzz/metadata_engine/sql.dict" \
  -max_total_time="$seconds" -max_len=4096 -timeout=30 -rss_limit_mb=4096 \
  -print_final_stats=1
