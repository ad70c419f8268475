#!/usr/bin/env bash
# The lobby demo (./tools/demo.sh --lobby): one rallylobby server, two players, Ada and Cleo,
# each with a sample game and a meetpoint relaying to the server over TLS (a certificate made
# for the run), each meetpoint with a registry folder of its own. Cleo's game starts first,
# with an instance of its own, and waits; then Ada's starts a game instance, which Cleo's joins. They race: each sees the other's
# join, chat and vote, each accuses the other, and both report the same results, which the
# server takes once both agree. The conversation of all five programs is shown as it happened.
# Each meetpoint also serves its player's page (--ui); once the race is over, Debian's chromium
# takes a picture of each (page.png). Leaves in demo-output/lobby/: conversation.txt, lobby.log,
# and for each player a folder with meetpoint's transcript (transcript.jsonl), the game's
# RallylinkLog.txt and page.png. With --hold it then prints the pages' addresses and keeps
# everything running until Enter is pressed. Everything it starts, it stops. Exits 0 when both
# sessions were complete and both pages showed the race's results.
#
# With --windows (./tools/demo.sh --lobby --windows) the players are on Windows, under Wine:
# Ada's game with the 64-bit rallylink.dll and her meetpoint.exe, Cleo's with the 32-bit DLL and
# meetpoint.exe under 32-bit Wine where this machine runs 32-bit programs (else Cleo stays on
# Linux); each Windows player has a Wine prefix of its own, whose registry tells the game its
# meetpoint's port. The server stays on Linux. Files go to demo-output/lobby-windows/.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)

fail() {
  echo "demo: $*" >&2
  exit 1
}

# Each player's system: linux, windows-x64 or windows-x86 (a preset's name).
declare -A system=([ada]=linux [cleo]=linux)
packages=(cmake ninja-build g++ googletest openssl libboost-dev libssl-dev libsqlite3-dev
          libhiredis-dev libsodium-dev nlohmann-json3-dev)
out="$root/demo-output/lobby"
hold=0
for arg in "$@"; do
  case "$arg" in
    --windows)
      out="$root/demo-output/lobby-windows"
      system[ada]=windows-x64
      # Wine's TLS is GnuTLS's.
      packages+=(mingw-w64 g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 libgnutls30:amd64)
      ;;
    --hold) hold=1 ;;
    *) fail "usage: $0 [--windows] [--hold]" ;;
  esac
done
./tools/install-missing.sh "${packages[@]}" || fail "could not install the packages it needs"
# chromium and playwright-core, for the pictures of the pages.
./tests/browser/install.sh >/dev/null || fail "could not install chromium and playwright-core"
if [ "${system[ada]}" != linux ] && ./tools/install-wine32.sh; then
  system[cleo]=windows-x86
fi
echo "== building"
{ cmake --preset linux >/dev/null &&
  cmake --build --preset linux -j 2 --target rallylobby meetpoint sample_game; } ||
  fail "the Linux build failed"
bin=$root/build/linux/bin
for preset in $(printf '%s\n' "${system[@]}" | grep windows | sort -u); do
  { cmake --preset "$preset" >/dev/null &&
    cmake --build --preset "$preset" -j 2 --target meetpoint sample_game; } ||
    fail "the $preset build failed"
done

# A program of the player's system: sets cmd to its command, and paths to how it names files.
declare -A loader=([windows-x64]=/usr/lib/wine/wine64 [windows-x86]=/usr/lib/wine/wine)
program() {  # program PLAYER meetpoint|sample_game
  local on=${system[$1]}
  if [ "$on" = linux ]; then
    cmd=(env "RALLYLINK_REGISTRY_DIR=$secrets/registry-$1" "$bin/$2")
  else
    cmd=(env "WINEPREFIX=$(prefix "$1")" WINEDEBUG=-all "${loader[$on]}" "$root/build/$on/bin/$2.exe")
  fi
}
path() {  # path PLAYER FILE: the file's name for the player's programs (Wine's drive Z: is /)
  if [ "${system[$1]}" = linux ]; then echo "$2"; else echo "Z:${2//\//\\}"; fi
}
prefix() { echo "$root/build/${system[$1]}/demo-wineprefix-$1"; }
winearch() { [ "${system[$1]}" = windows-x86 ] && echo win32 || echo win64; }

rm -rf "$out"
mkdir -p "$out/ada" "$out/cleo"
conversation="$out/conversation.txt"
: >"$conversation"
secrets=$(mktemp -d)  # the key and the password stay out of demo-output
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  for player in ada cleo; do
    [ "${system[$player]}" = linux ] || "$root/cmake/wine-server.sh" stop "$(prefix $player)" "$(winearch $player)"
  done
  rm -rf "$secrets"
}
trap cleanup EXIT

# Each program's lines go into the one file as they come, tagged with who said them.
tagged() {  # tagged TAG COMMAND...
  local tag=$1
  shift
  "$@" </dev/null 2>&1 | sed -u "s/\r\$//; s/^/$tag|/" >>"$conversation"
}
# The same for a program in the background: it takes the place of its shell, so that $! is
# the program itself and cleanup ends it.
start_tagged() {  # start_tagged TAG COMMAND... &
  local tag=$1
  shift
  exec "$@" </dev/null > >(sed -u "s/\r\$//; s/^/$tag|/" >>"$conversation") 2>&1
}
wait_for() {  # wait_for WHAT FILE PATTERN: at most 10 s
  for _ in $(seq 100); do grep -q -- "$3" "$2" 2>/dev/null && return 0; sleep 0.1; done
  fail "$1 did not happen within 10 s"
}

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -keyout "$secrets/key.pem" \
  -out "$out/lobby-cert.pem" 2>/dev/null || fail "openssl could not make a certificate"
echo 'demo password' >"$secrets/password"
for player in Ada Cleo; do
  "$bin/rallylobby" --store "$out/lobby.db" --add-player "$player" --password-file "$secrets/password" \
    >/dev/null || fail "could not store $player's account"
done

for player in ada cleo; do
  [ "${system[$player]}" = linux ] && continue
  echo "== starting Wine for ${player^} (${system[$player]}; the first time takes a while)"
  "$root/cmake/wine-server.sh" start "$(prefix $player)" "$(winearch $player)" || fail "Wine did not start"
done

echo "== starting the lobby server and the players' meetpoints"
start_tagged lobby "$bin/rallylobby" --name demo-lobby --store "$out/lobby.db" --port-file "$out/port" \
  --cert "$out/lobby-cert.pem" --key "$secrets/key.pem" &
pids+=($!)
wait_for "the lobby server's start" "$out/port" .
for player in ada cleo; do
  name=${player^}
  mkdir -p "$secrets/registry-$player"
  program $player meetpoint
  start_tagged "$player-mp" "${cmd[@]}" --register --ui 127.0.0.1:0 \
    --record "$(path $player "$out/$player/transcript.jsonl")" --lobby "localhost:$(cat "$out/port")" \
    --player "$name" --password-file "$(path $player "$secrets/password")" \
    --lobby-ca "$(path $player "$out/lobby-cert.pem")" &
  pids+=($!)
  wait_for "$name's login" "$conversation" "^$player-mp|== logged in"
done

echo "== running the two sample games (Ada: ${system[ada]}, Cleo: ${system[cleo]})"
run_game() {  # run_game PLAYER ROLE: the game's exit code goes to $out/PLAYER/status
  program "$1" sample_game
  (cd "$out/$1" && tagged "$1" env "SAMPLE_GAME_ROLE=$2" "${cmd[@]}"
   echo "${PIPESTATUS[0]}" >"$out/$1/status")
}
run_game cleo guest:Ada &
cleo=$!
wait_for "Cleo's game instance" "$conversation" "^cleo-mp|-> NewGameInstance"
run_game ada host:Cleo &
wait $! "$cleo"
# Each player's page, once it shows the race's results (at most 10 s each).
pictures=0
for player in ada cleo; do
  url=$(sed -n "s/^$player-mp|== page at //p" "$conversation")
  node tools/page-screenshot.mjs "$url" "$out/$player/page.png" '#instances .results' &&
    pictures=$((pictures + 1))
done

echo
echo "== the conversation: the lobby server, each player's meetpoint (<- from its game, -> to"
echo "   its game, => to the server, <= from the server) and each game's callbacks"
echo
while IFS='|' read -r tag line; do
  case "$tag" in
    lobby) printf '  lobby server    %s\n' "$line" ;;
    ada-mp | cleo-mp) printf '  %-5s meetpoint %s\n' "${tag%-mp}" "$line" ;;
    ada | cleo)
      case "$line" in
        "game: "*) printf '  %-5s game      %s\n' "$tag" "${line#game: }" ;;
      esac
      ;;
  esac
done <"$conversation"
echo
echo "== left in ${out#"$root"/}/: conversation.txt, lobby.db, and per player transcript.jsonl"
echo "   and RallylinkLog.txt (Rallylink's own lines are there, not above)"

for player in ada cleo; do
  [ "$(cat "$out/$player/status" 2>/dev/null)" = 0 ] || fail "$player's sample game did not complete"
done
[ "$pictures" = 2 ] || fail "a player's page did not show the results"
echo "== pictures of the players' pages: ${out#"$root"/}/ada/page.png and cleo/page.png"
if [ "$hold" = 1 ]; then
  echo "== the players' pages, open while the demo holds:"
  for player in ada cleo; do
    printf '   %-5s %s\n' "${player^}" "$(sed -n "s/^$player-mp|== page at //p" "$conversation")"
  done
  read -r -p "== press Enter to end the demo " _ || true
fi
echo "== demo complete"
