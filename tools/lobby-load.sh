#!/usr/bin/env bash
# The lobby under load: rallylobby_load's players against one server (SQLite) and against two
# servers sharing a Redis, on loopback. Prints each run's figures (BENCHMARKS.md explains them).
#
#   ./tools/lobby-load.sh            1,000 and 2,000 players, one and two servers (a few minutes)
#   ./tools/lobby-load.sh --quick    50 players, a short check that everything runs
#   ./tools/lobby-load.sh --storm [N]   N players (default 1,000) with real password hashes wait
#                                    for a server that starts 3 s later: how long until all
#                                    are in, after the rate at which a server lets in players
#                                    who come at a steady pace (a few minutes)
#   ./tools/lobby-load.sh --fd-limit    a server with 256 descriptors gets 1,000 connections
#                                    that say nothing, then 20 players: how long until the
#                                    silent ones are closed, the CPU it used, and its log lines
#
# Installs what is missing, builds the linux preset's lobby targets, and stops everything it
# started.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)

counts=(1000 2000)
loads=(10:50 100:300)  # chat lines a second : lines; a light load for latency, a heavy one
mode=load
case "${1:-}" in
  --quick) counts=(50) loads=(100:20) ;;
  --storm) mode=storm storm_players=${2:-1000} ;;
  --fd-limit) mode=fd-limit ;;
  "") ;;
  *) echo "usage: $0 [--quick | --storm [N] | --fd-limit]" >&2; exit 2 ;;
esac

./tools/install-missing.sh cmake ninja-build g++ libboost-dev libssl-dev libsqlite3-dev \
  libhiredis-dev libsodium-dev redis-server || exit 1
{ cmake --preset linux >/dev/null && cmake --build --preset linux -j 2 --target rallylobby rallylobby_load; } ||
  { echo "load: the build failed" >&2; exit 1; }
bin=$root/build/linux/bin

dir=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$dir"
}
trap cleanup EXIT
echo load-test > "$dir/password"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

wait_file() {
  for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.1; done
  echo "load: $1 did not appear" >&2
  exit 1
}

# server NAME STORE [OPTION...]: starts a quiet server; its port lands in $dir/NAME.port.
server() {
  local name=$1 store=$2
  shift 2
  "$bin/rallylobby" --quiet --plain --store-volatile --store "$store" --port-file "$dir/$name.port" \
    "$@" >"$dir/$name.log" 2>&1 &
  pids+=($!)
  wait_file "$dir/$name.port"
}

if [ "$mode" = storm ]; then
  # Real password hashes (libsodium's interactive cost), one shared by all the accounts.
  "$bin/rallylobby" --store "$dir/storm.db" --add-player st --count "$storm_players" \
    --password-file "$dir/password" >/dev/null || exit 1
  # The floor, in the same run: the rate at which a server lets in 200 players that come at
  # a steady pace (at most 200 under way), which is the rate at which it checks passwords.
  server floor "$dir/storm.db"
  echo "== the floor: 200 players logging in at a steady pace"
  "$bin/rallylobby_load" --plain --servers "127.0.0.1:$(cat "$dir/floor.port")" --players 200 --prefix st \
    --password-file "$dir/password" --chats 1 --chat-rate 1 | head -1
  kill "${pids[-1]}"
  wait "${pids[-1]}" 2>/dev/null
  unset 'pids[-1]'
  port=$(free_port)
  echo "== $storm_players players waiting for a server that starts in 3 s (SQLite, real hashes)"
  "$bin/rallylobby_load" --plain --servers "127.0.0.1:$port" --players "$storm_players" --prefix st \
    --password-file "$dir/password" --storm 900 &
  load=$!
  sleep 3
  server storm "$dir/storm.db" --listen "127.0.0.1:$port"
  wait "$load" || echo "!! the run did not complete"
  # The server's CPU time (user and system, from /proc) over the logins it let in.
  read -r -a stat <"/proc/${pids[-1]}/stat"
  awk -v t="$(( ${stat[13]} + ${stat[14]} ))" -v hz="$(getconf CLK_TCK)" -v n="$storm_players" \
    'BEGIN { printf "server CPU: %.1f s in all, %.0f ms a login\n", t / hz, 1000 * t / hz / n }'
  exit 0
fi

if [ "$mode" = fd-limit ]; then
  "$bin/rallylobby" --store "$dir/fd.db" --add-player fd --count 20 --cheap-hash \
    --password-file "$dir/password" >/dev/null || exit 1
  # The server raises its soft limit to the hard one: both are set.
  prlimit --nofile=256:256 "$bin/rallylobby" --plain --store "$dir/fd.db" \
    --port-file "$dir/fd.port" >"$dir/fd.log" 2>&1 &
  pids+=($!)
  wait_file "$dir/fd.port"
  echo "== 1,000 silent connections to a server with 256 descriptors, then 20 players"
  "$bin/rallylobby_load" --plain --servers "127.0.0.1:$(cat "$dir/fd.port")" --players 20 --prefix fd \
    --password-file "$dir/password" --chats 5 --chat-rate 5 --silent 1000 --pids "${pids[-1]}" ||
    echo "!! the run did not complete"
  echo "server log: $(grep -c accept-failed "$dir/fd.log") accept-failed lines" \
    "($(grep accept-failed "$dir/fd.log" | tail -1 | grep -o 'and [0-9]* more' || echo none))"
  exit 0
fi

redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --dir "$dir" --save '' >"$dir/redis.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do redis-cli -p "$redis_port" ping >/dev/null 2>&1 && break; sleep 0.1; done

for n in "${counts[@]}"; do
  for servers in 1 2; do
    kind=sqlite
    store="$dir/load-$n.db"
    [ "$servers" = 2 ] && kind=redis && store="redis://127.0.0.1:$redis_port"
    "$bin/rallylobby" --store "$store" --store-volatile --add-player "p$n-" --count "$n" \
      --cheap-hash --password-file "$dir/password" >/dev/null || exit 1
    for load in "${loads[@]}"; do
      # Fresh servers for each run, so that their memory is that of these players alone.
      started=("${pids[@]}")
      list=()
      spids=()
      for s in $(seq "$servers"); do
        server "s$n-$servers-$s" "$store"
        list+=("127.0.0.1:$(cat "$dir/s$n-$servers-$s.port")")
        spids+=("${pids[-1]}")
      done
      echo "== $n players, $servers server(s), store $kind, ${load%%:*} chat lines a second"
      "$bin/rallylobby_load" --plain --servers "$(IFS=,; echo "${list[*]}")" --players "$n" --prefix "p$n-" \
        --password-file "$dir/password" --chats "${load#*:}" --chat-rate "${load%%:*}" \
        --pids "$(IFS=,; echo "${spids[*]}")" || echo "!! the run did not complete"
      for pid in "${spids[@]}"; do kill "$pid"; wait "$pid" 2>/dev/null; done
      pids=("${started[@]}")
      rm -f "$dir"/s*.port
    done
  done
done
