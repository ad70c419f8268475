#!/usr/bin/env bash
# The demo: one lobby session between the sample game and the stand-in Meetpoint.
#
#   ./tools/demo.sh             the game and librallylink.so on Linux
#   ./tools/demo.sh --windows   the game and rallylink.dll under Wine, served by the Linux
#                               meetpoint over loopback
#   ./tools/demo.sh --windows --x86
#                               the same with the 32-bit game and DLL under 32-bit Wine
#   ./tools/demo.sh --lobby     two games, each with its meetpoint, meeting on a lobby server
#                               (tools/demo-lobby.sh)
#   ./tools/demo.sh --lobby --windows
#                               the same with Windows games and meetpoints under Wine
#   ./tools/demo.sh --lobby [--windows] --hold
#                               ... and then keeps the players' pages open for a person
#
# Installs what is missing, builds, starts meetpoint on a free port with a private registry,
# runs the game, shows the conversation, and leaves the transcript (transcript.jsonl), the
# conversation (conversation.txt) and RallylinkLog.txt in demo-output/linux/,
# demo-output/windows/ or demo-output/windows-x86/. Everything it starts, it stops. Exits 0 when
# the session was complete.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)

# --lobby hands the other options to the lobby demo.
for arg in "$@"; do
  [ "$arg" = --lobby ] || continue
  others=()
  for a in "$@"; do [ "$a" = --lobby ] || others+=("$a"); done
  exec ./tools/demo-lobby.sh "${others[@]}"
done
mode=linux
case "${1:-} ${2:-}" in
  " ") ;;
  "--windows ") mode=windows ;;
  "--windows --x86" | "--x86 --windows") mode=windows-x86 ;;
  *)
    echo "usage: $0 [--windows [--x86] | --lobby [--windows] [--hold]]" >&2
    exit 2
    ;;
esac
preset=windows-x64
wine=/usr/lib/wine/wine64
winearch=win64
if [ "$mode" = windows-x86 ]; then
  preset=windows-x86
  wine=/usr/lib/wine/wine
  winearch=win32
fi

fail() {
  echo "demo: $*" >&2
  exit 1
}

packages=(cmake ninja-build g++ googletest)
if [ "$mode" != linux ]; then
  packages+=(mingw-w64 g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64)
fi
./tools/install-missing.sh "${packages[@]}" || fail "could not install the packages it needs"
if [ "$mode" = windows-x86 ]; then
  ./tools/install-wine32.sh || fail "32-bit Wine is not available on this machine"
fi

echo "== building"
{ cmake --preset linux >/dev/null && cmake --build --preset linux -j 2 --target meetpoint sample_game; } ||
  fail "the Linux build failed"
if [ "$mode" != linux ]; then
  { cmake --preset $preset >/dev/null &&
    cmake --build --preset $preset -j 2 --target sample_game; } ||
    fail "the Windows build failed"
fi

out="$root/demo-output/$mode"
rm -rf "$out"
mkdir -p "$out"
conversation="$out/conversation.txt"
: >"$conversation"

# shellcheck source=tools/meetpoint-session.sh
. "$root/tools/meetpoint-session.sh"
registry=""
prefix=""
cleanup() {
  if [ -n "$MEETPOINT_PID" ] && kill -0 "$MEETPOINT_PID" 2>/dev/null; then
    kill "$MEETPOINT_PID" 2>/dev/null
    wait "$MEETPOINT_PID" 2>/dev/null
  fi
  [ -n "$prefix" ] && "$root/cmake/wine-server.sh" stop "$prefix" "$winearch"
  [ -n "$registry" ] && rm -rf "$registry"
}
trap cleanup EXIT

# Meetpoint and the game write into one file, each line as it happens, so the file holds the
# conversation in order.
start_meetpoint() {
  meetpoint_start "$out" "$conversation" "$root/build/linux/bin/meetpoint" "$@" ||
    fail "meetpoint did not start"
  port=$MEETPOINT_PORT
}

echo "== running the sample game ($mode)"
if [ "$mode" = linux ]; then
  registry=$(mktemp -d)
  export RALLYLINK_REGISTRY_DIR="$registry"
  start_meetpoint --register
  (cd "$out" && "$root/build/linux/bin/sample_game" </dev/null >>"$conversation" 2>&1)
  game_status=$?
else
  prefix="$root/build/$preset/demo-wineprefix"
  echo "== starting Wine in $prefix (the first time takes a while)"
  "$root/cmake/wine-server.sh" start "$prefix" "$winearch" || fail "Wine did not start"
  export WINEPREFIX="$prefix" WINEDEBUG=-all
  start_meetpoint
  "$wine" reg add 'HKLM\Software\Brightmoor\Orvane' /v ClientPort /t REG_SZ /d "$port" /f \
    </dev/null >"$out/wine-reg.txt" 2>&1 || fail "could not write ClientPort into Wine's registry"
  (cd "$out" && "$wine" "$root/build/$preset/bin/sample_game.exe" </dev/null \
    >>"$conversation" 2>&1)
  game_status=$?
fi

# Meetpoint ends by itself once the game's connection has closed.
meetpoint_end
meetpoint_status=$?
sed -i 's/\r$//' "$conversation"

echo
echo "== the conversation: meetpoint's requests (<-) and events (->), Rallylink's log lines,"
echo "   and the game's callbacks"
echo
while IFS= read -r line; do
  case "$line" in
    "<- "* | "-> "* | "== "* | "!! "*) printf '  meetpoint  %s\n' "$line" ;;
    "game: "*) printf '  game       %s\n' "${line#game: }" ;;
    *) printf '  rallylink  %s\n' "$line" ;;
  esac
done <"$conversation"
echo
echo "== left in ${out#"$root"/}/: transcript.jsonl, conversation.txt, RallylinkLog.txt"

[ "$game_status" -eq 0 ] || fail "the sample game ended with $game_status"
[ "$meetpoint_status" -eq 0 ] || fail "meetpoint ended with $meetpoint_status"
echo "== demo complete"
