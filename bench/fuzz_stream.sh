#!/usr/bin/env bash
# Builds the stream fuzz targets (frame parser fed in random chunkings, strict
# base64, Arrow IPC decoding, structured corruption of valid IPC streams, the
# HTTP/1.1 response reader) with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each for a bounded time.
#
#   bench/fuzz_stream.sh                 # 30 s per target
#   FUZZ_SECONDS=300 bench/fuzz_stream.sh frames ipc
#
# New inputs go to the build directory's working corpus; the seeds in
# tests/fuzz/stream/corpus/ are only read. A crash leaves its reproducer in
# the build directory and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build-fuzz-stream}
FUZZ_SECONDS=${FUZZ_SECONDS:-30}
CXX=${CXX_FUZZ:-clang++-14}
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(frames base64 ipc ipc_corrupt http1)

PYARROW_DIR=$(.venv/bin/python -c 'import pyarrow; print(pyarrow.get_library_dirs()[0])')
ARROW_INCLUDE=$(.venv/bin/python -c 'import pyarrow; print(pyarrow.get_include())')
# The wheel names its libraries by major version: libarrow.so.2600 for 26.x.
ARROW_LIB="$PYARROW_DIR/libarrow.so.$(.venv/bin/python -c 'import pyarrow; print(int(pyarrow.__version__.split(".")[0]) * 100)')"

# Objects get the coverage instrumentation only; libFuzzer's main is linked
# into each target.
SANITIZE="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
CXXFLAGS="-std=c++20 -O1 -g -fno-omit-frame-pointer -Wall -Wno-unused-parameter"
INCLUDES="-Isrc -isystem $ARROW_INCLUDE"
SOURCES=(src/stream/frame.cc src/stream/base64.cc src/stream/ipc_decode.cc src/stream/batch_validation.cc
         src/transport/http1_response.cc
         src/diagnostics/log.cc src/diagnostics/redact.cc src/platform/append_file_posix.cc
         src/platform/thread_id.cc)

mkdir -p "$BUILD_DIR/obj"
objects=()
for src in "${SOURCES[@]}"; do
  obj="$BUILD_DIR/obj/$(basename "${src%.cc}").o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] ||
     [ -n "$(find src/stream src/transport src/diagnostics src/platform src/util -name '*.h' -newer "$obj")" ]; then
    echo "compile $src"
    # shellcheck disable=SC2086
    $CXX $CXXFLAGS $SANITIZE -fsanitize=fuzzer-no-link $INCLUDES -c "$src" -o "$obj"
  fi
  objects+=("$obj")
done

status=0
for target in "${TARGETS[@]}"; do
  macro=ZV_FUZZ_$(echo "$target" | tr '[:lower:]' '[:upper:]')
  bin="$BUILD_DIR/stream_fuzz_$target"
  echo "== build $bin"
  # shellcheck disable=SC2086
  $CXX $CXXFLAGS $SANITIZE -fsanitize=fuzzer $INCLUDES -D"$macro" tests/fuzz/stream/stream_fuzz.cc \
    "${objects[@]}" "$ARROW_LIB" -Wl,-rpath,"$PYARROW_DIR" -o "$bin"
  work_corpus="$BUILD_DIR/corpus/$target"
  mkdir -p "$work_corpus"
  echo "== run $target for ${FUZZ_SECONDS}s"
  if ! (cd "$BUILD_DIR" && ZV_FUZZ_LOG_PATH="$PWD/fuzz_$target.log" \
        "./stream_fuzz_$target" -max_total_time="$FUZZ_SECONDS" -timeout=20 \
        -rss_limit_mb=2560 -max_len=65536 -print_final_stats=1 \
        -artifact_prefix="crash_${target}_" \
        "corpus/$target" "../tests/fuzz/stream/corpus/$target" 2>&1 |
        grep -v -E '^#[0-9]+\s+(NEW|REDUCE|pulse)'); then
    :
  fi
  if ls "$BUILD_DIR"/crash_"${target}"_* >/dev/null 2>&1; then
    echo "!! $target: crash reproducers in $BUILD_DIR"
    status=1
  fi
  rm -f "$BUILD_DIR"/fuzz_"$target".log*
done
exit $status
