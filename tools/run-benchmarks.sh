#!/usr/bin/env bash
# Installs what the benchmarks need, builds the release configuration (and the Windows x64
# DLL with its benchmark program), runs them and prints one table of figures, each against a
# floor measured in the same run. BENCHMARKS.md explains the figures.
#
#   tools/run-benchmarks.sh [--quick] [--no-wine]
#
# --quick: short runs, to check that everything works (the figures are not meaningful).
# --no-wine: leave out the figures of the Windows DLL under Wine.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)

quick=()
wine=1
for arg in "$@"; do
  case "$arg" in
    --quick) quick=(--quick) ;;
    --no-wine) wine=0 ;;
    *) echo "usage: $0 [--quick] [--no-wine]" >&2; exit 2 ;;
  esac
done

packages=(cmake ninja-build g++ libbenchmark-dev)
[ "$wine" -eq 1 ] && packages+=(mingw-w64 g++-mingw-w64-x86-64 wine64)
./tools/install-missing.sh "${packages[@]}" >&2 || exit 1

echo "== build linux-release" >&2
{ cmake --preset linux-release >/dev/null && cmake --build --preset linux-release -j 2 >&2; } ||
  { echo "!! build of linux-release failed" >&2; exit 1; }

rows=()
if [ "$wine" -eq 1 ]; then
  echo "== build windows-x64 (DLL and rallylink_wine_figures)" >&2
  if cmake --preset windows-x64 >/dev/null &&
     cmake --build --preset windows-x64 -j 2 --target rallylink rallylink_wine_figures >&2; then
    out="$root/build/windows-x64"
    prefix="$out/wineprefix"
    echo "== run under Wine" >&2
    cmake/wine-server.sh start "$prefix"
    # Wine's background services inherit open streams: every stream goes to a file.
    (cd "$out/bin" &&
     ./../wine-run.sh ./rallylink_wine_figures.exe wine-rows.md "${quick[@]}" \
       </dev/null >wine-stdout.txt 2>wine-stderr.txt)
    status=$?
    cmake/wine-server.sh stop "$prefix"
    if [ $status -eq 0 ] && [ -s "$out/bin/wine-rows.md" ]; then
      rows=(--rows "$out/bin/wine-rows.md")
    else
      echo "!! the Wine run failed (see $out/bin/wine-stderr.txt)" >&2
    fi
  else
    echo "!! build of windows-x64 failed; Wine figures left out" >&2
  fi
fi

echo "== run (about a minute)" >&2
echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores, $(uname -sr)"
echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "Command: tools/run-benchmarks.sh $*"
echo
build/linux-release/bin/rallylink_bench "${quick[@]}" "${rows[@]}" </dev/null
