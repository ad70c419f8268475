#!/usr/bin/env bash
# Installs Rallylink from a build folder into a fresh prefix, builds a game (the sample game of
# examples/) against the installed tree (through the CMake package or through pkg-config) and runs it against
# meetpoint.
#
#   run.sh BUILD_DIR cmake|pkgconfig MEETPOINT [TOOLCHAIN_FILE WINE_RUN C_COMPILER]
#
# With a toolchain file the consumer is cross-built for Windows (with C_COMPILER for the
# pkg-config way) and runs under Wine with meetpoint.exe.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$1
way=$2
meetpoint=$3
toolchain=${4:-}
wine_run=${5:-}
cross_cc=${6:-}

work="$build/consumer-$way"
rm -rf "$work"
mkdir -p "$work"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

if [ "$way" = cmake ]; then
  args=(-S "$here" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix")
  [ -n "$toolchain" ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
  cmake "${args[@]}" >"$work/configure.txt" 2>&1 || { cat "$work/configure.txt"; exit 1; }
  cmake --build "$work/build" >"$work/build.txt" 2>&1 || { cat "$work/build.txt"; exit 1; }
  game="$work/build/consumer"
else
  cc=cc
  [ -n "$toolchain" ] && cc=$cross_cc
  flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs rallylink)
  extra=()  # a native game links the thread library and finds the installed one by its run path
  [ -z "$toolchain" ] && extra=(-pthread -Wl,-rpath,"$prefix/lib")
  mkdir -p "$work/build"
  # shellcheck disable=SC2086 # the flags are words
  $cc -o "$work/build/consumer" "$here/../../examples/sample_game.c" $flags "${extra[@]}"
  game="$work/build/consumer"
fi

if [ -n "$toolchain" ]; then
  # A Windows game finds rallylink.dll next to its exe.
  cp "$prefix/bin/rallylink.dll" "$work/build/"
  exec "$here/../run-with-meetpoint.sh" --wine "$wine_run" "$meetpoint" "$work/run" "$game.exe"
fi
LD_LIBRARY_PATH="$prefix/lib" exec "$here/../run-with-meetpoint.sh" "$meetpoint" "$work/run" "$game"
