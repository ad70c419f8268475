#!/usr/bin/env bash
# Installs what the benchmarks need, builds the release configuration and the Windows DLLs with
# their benchmark program, runs the measuring runs and prints one table of figures, each
# against a floor measured in the same run, with its spread over the runs. BENCHMARKS.md
# explains the figures.
#
#   tools/run-benchmarks.sh [--quick] [--runs N] [--no-wine] [--x86]
#   tools/run-benchmarks.sh --callgrind [CALLS]
#
# --runs N: measuring runs per platform (default 5); the runs of Linux and of the DLLs under
#   Wine take turns, so that what the machine does meanwhile falls on all of them.
# --quick: one short run, to check that everything works (the figures are not meaningful).
# --no-wine: leave out the DLLs under Wine.
# --x86: also measure the 32-bit DLL under 32-bit Wine (/usr/lib/wine/wine), which must be
#   installed.
# --callgrind: instead of timing, count the instructions per request of the library and of the
#   floor with callgrind (CALLS calls of each, default 10240) and print them, then the system
#   calls per request of each side, counted by strace in a run of that side alone.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
args="$*"

quick=()
runs=5
wine=1
x86=no
callgrind=0
calls=10240
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=(--quick); runs=1 ;;
    --runs) runs=${2:?}; shift ;;
    --no-wine) wine=0 ;;
    --x86) x86=yes ;;
    --callgrind) callgrind=1; [[ "${2:-}" =~ ^[0-9]+$ ]] && { calls=$2; shift; } ;;
    *) echo "usage: $0 [--quick] [--runs N] [--no-wine] [--x86] | --callgrind [CALLS]" >&2
       exit 2 ;;
  esac
  shift
done
wine32=/usr/lib/wine/wine
if [ "$wine" -eq 0 ] || [ "$callgrind" -eq 1 ]; then
  x86=no
elif [ "$x86" = yes ] && [ ! -x "$wine32" ]; then
  echo "!! --x86 needs 32-bit Wine ($wine32), which is not installed" >&2
  exit 1
fi

packages=(cmake ninja-build g++ libbenchmark-dev)
[ "$callgrind" -eq 1 ] && packages+=(valgrind strace)
[ "$wine" -eq 1 ] && [ "$callgrind" -eq 0 ] && packages+=(mingw-w64 g++-mingw-w64-x86-64 wine64)
[ "$x86" = yes ] && packages+=(g++-mingw-w64-i686)
./tools/install-missing.sh "${packages[@]}" >&2 || exit 1

echo "== build linux-release" >&2
{ cmake --preset linux-release >/dev/null && cmake --build --preset linux-release -j 2 >&2; } ||
  { echo "!! build of linux-release failed" >&2; exit 1; }
bench=$root/build/linux-release/bin/rallylink_bench

if [ "$callgrind" -eq 1 ]; then
  out=$(mktemp -d)
  echo "== callgrind, $calls calls of each request on each side" >&2
  (cd "$out" && valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file=cg.out \
     "$bench" --instructions "$calls" </dev/null >/dev/null 2>cg.log) ||
    { echo "!! callgrind run failed (see $out/cg.log)" >&2; exit 1; }
  # Inclusive instructions of each timed function, per call. Callgrind counts the calls made
  # while collection was off too, so the counts are divided by the number of timed calls.
  callgrind_annotate --inclusive=yes --threshold=100 "$out/cg.out" |
    awk -v calls="$calls" '
      match($0, /:(RLSendVote|FloorSendVote|RLSendLobbyMessage|FloorSendLobbyMessage)[( ]/) {
        name = substr($0, RSTART + 1, RLENGTH - 2); cost = $1; gsub(",", "", cost)
        if (!(name in per)) per[name] = cost / calls
      }
      END {
        printf "| Request | Library (instructions per call) | Floor | Library - floor | Ratio |\n"
        printf "|---|---|---|---|---|\n"
        split("RLSendVote RLSendLobbyMessage", names, " ")
        for (i = 1; i <= 2; i++) {
          l = per[names[i]]; f = per["Floor" substr(names[i], 3)]
          if (f > 0) printf "| %s | %.0f | %.0f | %.0f | %.3f |\n", names[i], l, f, l - f, l / f
        }
      }'
  echo "(callgrind output: $out/cg.out; callgrind_annotate --inclusive=yes --tree=calling shows" \
       "where each side spends them)" >&2
  # System calls per request: each side alone, so that the counts are its own; both runs set up
  # the same session and floor, whose few calls are spread over the requests.
  echo "== strace -c, each side in a run of its own" >&2
  requests=$(( (calls + 255) / 256 * 256 * 2 + 512 ))  # both requests, and the warm-up block
  printf "| Side | System calls per request |\n|---|---|\n"
  for side in library floor; do
    (cd "$out" && strace -f -c -o "strace-$side.txt" "$bench" --instructions "$calls" "$side" \
       </dev/null >/dev/null 2>&1) || { echo "!! strace run failed" >&2; exit 1; }
    awk -v side="$side" -v n="$requests" '
      # "% time, seconds, usecs/call, calls, [errors,] syscall": the calls are the fourth field
      $4 ~ /^[0-9]+$/ && $NF ~ /^[a-z_0-9]+$/ && $NF != "total" && $4 / n >= 0.05 {
        list = list sprintf("%s%s %.2f", list == "" ? "" : ", ", $NF, $4 / n)
      }
      END { printf "| %s | %s |\n", side, list }' "$out/strace-$side.txt"
  done
  exit 0
fi

# A Windows preset's DLL and figures program, and a private Wine prefix to run them in.
# x64 programs run under wine64 in the 64-bit prefix that the tests use; x86 programs under
# 32-bit Wine in a 32-bit prefix of their own.
build_windows() {  # build_windows PRESET
  echo "== build $1 (DLL and rallylink_wine_figures)" >&2
  cmake --preset "$1" >/dev/null &&
    cmake --build --preset "$1" -j 2 --target rallylink rallylink_wine_figures >&2
}
wine_env() {  # wine_env ARCH: the loader, server and prefix of one architecture
  if [ "$1" = x64 ]; then
    loader=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver arch=win64
  else
    loader=$wine32 server=/usr/lib/wine/wineserver32 arch=win32
    [ -x "$server" ] || server=/usr/lib/wine/wineserver
  fi
  prefix=$root/build/windows-$1/wineprefix
}
wine_server() {  # wine_server ARCH start|stop
  wine_env "$1"
  # Wine's background processes inherit open streams: every stream goes to /dev/null.
  WINEPREFIX=$prefix "$server" -k </dev/null >/dev/null 2>&1
  WINEPREFIX=$prefix "$server" -w </dev/null >/dev/null 2>&1
  # Programs of this prefix that outlive their server (it happens under emulation) end too.
  local p left=()
  for p in /proc/[0-9]*; do
    { tr '\0' '\n' <"$p/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$prefix" &&
      left+=("${p#/proc/}")
  done
  [ ${#left[@]} -gt 0 ] && kill "${left[@]}" 2>/dev/null
  [ "$2" = stop ] && return 0
  mkdir -p "$prefix"
  WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all "$server" -p </dev/null >/dev/null 2>&1 &&
    WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all "$loader" wineboot --init \
      </dev/null >/dev/null 2>&1
}
wine_run() {  # wine_run ARCH RESULTS
  wine_env "$1"
  (cd "$root/build/windows-$1/bin" &&
   WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all "$loader" ./rallylink_wine_figures.exe \
     "$2" "${quick[@]}" </dev/null >>wine-stdout.txt 2>>wine-stderr.txt)
}

arches=()
if [ "$wine" -eq 1 ]; then
  if build_windows windows-x64; then arches+=(x64); else
    echo "!! build of windows-x64 failed; its figures are left out" >&2; fi
fi
if [ "$x86" = yes ]; then
  if build_windows windows-x86; then arches+=(x86); else
    echo "!! build of windows-x86 failed; its figures are left out" >&2; fi
fi
# Whatever happens, the Wine servers (and the programs they serve) end with this script.
trap 'for a in "${arches[@]}"; do wine_server "$a" stop; done' EXIT
started=()
for a in "${arches[@]}"; do
  rm -f "$root/build/windows-$a/bin/wine-stdout.txt" "$root/build/windows-$a/bin/wine-stderr.txt"
  if wine_server "$a" start; then started+=("$a"); else
    echo "!! Wine ($a) does not start; its figures are left out" >&2
    wine_server "$a" stop
  fi
done
arches=("${started[@]}")

results=$(mktemp -d)
load() { cut -d' ' -f1-3 /proc/loadavg; }
before=$(load)
files=()
for r in $(seq 1 "$runs"); do
  echo "== run $r of $runs" >&2
  "$bench" --measure "$results/linux-$r.txt" "${quick[@]}" </dev/null >&2 &&
    files+=("$results/linux-$r.txt")
  for a in "${arches[@]}"; do
    if wine_run "$a" "$results/$a-$r.txt" && [ -s "$results/$a-$r.txt" ]; then
      files+=("$results/$a-$r.txt")
    else
      echo "!! the $a run failed (see build/windows-$a/bin/wine-stderr.txt)" >&2
    fi
  done
done
for a in "${arches[@]}"; do wine_server "$a" stop; done
arches=()

echo "== figures taken once (about a minute)" >&2
table=$("$bench" --table "${quick[@]}" "${files[@]}" </dev/null) || exit 1
echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores, $(uname -sr)"
echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "Command: tools/run-benchmarks.sh $args"
echo "Load average (1, 5, 15 min) before the runs: $before; after: $(load)"
echo
echo "$table"
rm -rf "$results"
