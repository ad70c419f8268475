#!/usr/bin/env bash
# The lobby under load: rallylobby_load's players against rallylobby and against the fan-out
# floor (rallylobby_fanout_floor, the least a server must do to fan chat out), on loopback. Every
# fan-out figure is a ratio to the floor of its own kind (plain or TLS), measured in the same
# run, the two taking turns; each row is run --runs times (default 3) and shows the median
# ratio with the lowest and highest run. The load average is printed at the start and the end.
# BENCHMARKS.md explains the figures.
#
#   ./tools/lobby-load.sh --quick        50 players, plain and TLS, floor and server: a smoke test
#   ./tools/lobby-load.sh --ratios       1,000 players at 10 and 100 chat lines a second, plain
#                                        and TLS: fan-out p50 and p99 against the floor
#   ./tools/lobby-load.sh --crowd        10,000 players at 1 line a second over TLS
#   ./tools/lobby-load.sh --memory       19,000 idle players on one server (TLS, then plain), the
#                                        load tool in 4 processes: memory and login time, the
#                                        kernel's share; TLS handshakes a second; logins a second
#                                        at the real argon2id cost and at the cheap one
#   ./tools/lobby-load.sh --saturation   the chat rate at which p99 passes 1 s, server and floor
#   ./tools/lobby-load.sh --scale-out    the same with 1, 2 and 4 servers on one Redis, each held
#                                        to the same CPU quota by the kernel's CPU controller
#                                        (--quota CORES, default 0.25), or pinned with taskset
#                                        where no CPU controller is writable (a weaker measure)
#   ./tools/lobby-load.sh                all five of them, one after the other (about an hour)
#   ./tools/lobby-load.sh --storm [N]    N players (default 1,000) with real password hashes wait
#                                        for a server that starts 3 s later
#   ./tools/lobby-load.sh --fd-limit     a server with 256 descriptors gets 1,000 connections
#                                        that say nothing, then 20 players
#
# --runs N sets the runs of each row. LOBBY_SERVER=PATH measures another build of rallylobby
# (an older one, for a change's before and after). Installs what is missing, builds the linux
# preset's lobby targets, and stops everything it started; the CPU groups it makes go too.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)

modes=()
runs=3
quota=0.25
storm_players=1000
while [ $# -gt 0 ]; do
  case "$1" in
    --quick | --ratios | --crowd | --memory | --saturation | --scale-out | --fd-limit)
      modes+=("${1#--}") ;;
    --storm)
      modes+=(storm)
      case "${2:-}" in [0-9]*) storm_players=$2; shift ;; esac ;;
    --runs) runs=$2; shift ;;
    --quota) quota=$2; shift ;;
    *) echo "usage: $0 [--quick | --ratios | --crowd | --memory | --saturation | --scale-out |" \
         "--storm [N] | --fd-limit]... [--runs N] [--quota CORES]" >&2; exit 2 ;;
  esac
  shift
done
[ ${#modes[@]} -eq 0 ] && modes=(ratios crowd memory saturation scale-out)

./tools/install-missing.sh cmake ninja-build g++ libboost-dev libssl-dev libsqlite3-dev \
  libhiredis-dev libsodium-dev nlohmann-json3-dev redis-server openssl python3 || exit 1
{ cmake --preset linux >/dev/null &&
  cmake --build --preset linux -j 2 --target rallylobby rallylobby_load rallylobby_fanout_floor; } ||
  { echo "load: the build failed" >&2; exit 1; }
bin=$root/build/linux/bin
lobby=${LOBBY_SERVER:-$bin/rallylobby}

dir=$(mktemp -d)
pids=()
groups=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  for group in "${groups[@]}"; do
    # Anything of ours still in it goes back to the root group first.
    while read -r pid; do echo "$pid" >/sys/fs/cgroup/cpu/cgroup.procs; done <"$group/cgroup.procs"
    rmdir "$group"
  done 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
echo load-test >"$dir/password"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
  -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null || exit 1
failed=0

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
load_average() { cut -d' ' -f1-3 /proc/loadavg; }

wait_file() {
  for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.1; done
  echo "load: $1 did not appear" >&2
  exit 1
}

# target NAME KIND STORE [OPTION...]: starts a quiet server (or, with STORE "floor", the floor)
# of KIND plain or tls; its port lands in $dir/NAME.port and its pid in $target_pid.
target() {
  local name=$1 kind=$2 store=$3
  shift 3
  local security=(--cert "$dir/cert.pem" --key "$dir/key.pem")
  [ "$kind" = plain ] && security=(--plain)
  rm -f "$dir/$name.port"
  if [ "$store" = floor ]; then
    "$bin/rallylobby_fanout_floor" "${security[@]}" --port-file "$dir/$name.port" \
      >"$dir/$name.log" 2>&1 &
  else
    "$lobby" --quiet --store-volatile --store "$store" "${security[@]}" \
      --port-file "$dir/$name.port" "$@" >"$dir/$name.log" 2>&1 &
  fi
  target_pid=$!
  pids+=("$target_pid")
  wait_file "$dir/$name.port"
}

stop() {
  local pid other
  for pid in "$@"; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    local keep=()
    for other in "${pids[@]}"; do [ "$other" = "$pid" ] || keep+=("$other"); done
    pids=("${keep[@]}")
  done
}

# accounts STORE PREFIX COUNT [--cheap-hash]: COUNT accounts PREFIX0.. sharing one password.
accounts() {
  "$lobby" --store "$1" --store-volatile --add-player "$2" --count "$3" ${4:+"$4"} \
    --password-file "$dir/password" >/dev/null || { echo "load: no accounts" >&2; exit 1; }
}

# load KIND PORT[,PORT..] PLAYERS PREFIX [OPTION...]: the load tool over KIND; its output goes
# to stdout and to $dir/last.out.
load() {
  local kind=$1 servers=$2 players=$3 prefix=$4
  shift 4
  local security=(--ca "$dir/cert.pem")
  [ "$kind" = plain ] && security=(--plain)
  local list
  list=$(tr ',' '\n' <<<"$servers" | sed 's/^/127.0.0.1:/' | paste -sd,)
  "$bin/rallylobby_load" --servers "$list" --players "$players" --prefix "$prefix" \
    --password-file "$dir/password" "${security[@]}" "$@" | tee "$dir/last.out"
  local status=${PIPESTATUS[0]}
  [ "$status" -eq 0 ] || { echo "!! the load tool failed (exit $status)"; failed=1; }
  return "$status"
}

# field KEY: the last value of KEY= in the load tool's result lines.
field() { grep '^result ' "$dir/last.out" | grep -o "$1=[^ ]*" | tail -1 | cut -d= -f2; }

# spread [FORMAT]: the median of the numbers on stdin and their range, "MEDIAN (LOW-HIGH)".
spread() {
  sort -g | awk -v f="${1:-%.2f}" '{ v[NR] = $1 } END { if (NR == 0) { print "-"; exit }
    printf f " (" f "-" f ")", v[int((NR + 1) / 2)], v[1], v[NR] }'
}

# fan-out KIND PLAYERS RATE SECONDS PROCESSES: the floor and the server take turns, --runs
# times; prints each run and the medians.
fan_out() {
  local kind=$1 players=$2 rate=$3 seconds=$4 processes=$5
  local store="$dir/fan-$players.db"
  [ -e "$store" ] || accounts "$store" "p$players-" "$players" --cheap-hash
  : >"$dir/runs"
  echo "== $players players over $kind, $rate chat lines a second, floor and server taking turns" \
    "(load average $(load_average))"
  for run in $(seq "$runs"); do
    local order=(floor server)
    [ $((run % 2)) -eq 0 ] && order=(server floor)
    for side in "${order[@]}"; do
      if [ "$side" = floor ]; then target fan "$kind" floor; else target fan "$kind" "$store"; fi
      echo "-- run $run, $side"
      load "$kind" "$(cat "$dir/fan.port")" "$players" "p$players-" --chat-rate "$rate" \
        --seconds "$seconds" --processes "$processes" --pids "$target_pid" | grep -v '^result'
      echo "$run $side $(field p50_ms) $(field p99_ms) $(field lost)" >>"$dir/runs"
      stop "$target_pid"
    done
  done
  # Per run: the server's p50 and p99 over the floor's of the same run.
  local ratios
  ratios=$(awk '{ p50[$1, $2] = $3; p99[$1, $2] = $4; lost += $5; n[$1] = 1 }
    END { for (r in n) printf "%s %s %s %s %s\n", p50[r, "server"] / p50[r, "floor"],
            p99[r, "server"] / p99[r, "floor"], p99[r, "floor"], p99[r, "server"], lost }' \
    "$dir/runs")
  printf '%s\n' "| $players | $kind | $rate | $(awk '{print $3}' <<<"$ratios" | spread) ms" \
    "| $(awk '{print $4}' <<<"$ratios" | spread) ms | $(awk '{print $2}' <<<"$ratios" | spread)" \
    "| $(awk '{print $1}' <<<"$ratios" | spread) | $(awk 'NR == 1 {print $5}' <<<"$ratios") |" |
    paste -sd' ' >>"$dir/table"
}

print_table() {
  echo "== $1 (load average now $(load_average))"
  echo "| Players | Kind | Lines a second | Floor p99 | Server p99 | p99 ratio | p50 ratio | Lost |"
  echo "|---|---|---|---|---|---|---|---|"
  cat "$dir/table"
  : >"$dir/table"
}

# Saturation: the chat rate stepping up by a quarter until p99 passes 1 s, then by a twentieth
# from the last rate below. The chat limits are raised for it (each player sends up to 20
# lines a second), so that 1,000 players can offer more than a server carries.
steps() { awk -v r="$1" 'BEGIN { while (r < 20000) { printf "%s%d", (n++ ? "," : ""), r; r *= 1.25 } }'; }
unlimited=(--chat-rate 1000 --chat-burst 1000 --rate 100000)

# saturate LABEL KIND PORTS PIDS FIRST-RATE [OPTION...]: one stepping run; appends
# "LABEL EVENTS-BELOW EVENTS-OVER" to $dir/saturation.
saturate() {
  local label=$1 kind=$2 ports=$3 spids=$4 first=$5
  shift 5
  load "$kind" "$ports" 1000 "$prefix" --chat-rate "$(steps "$first")" --seconds 5 \
    --sender-rate 20 --stop-above 1000 --processes 2 --pids "$spids" "$@" |
    grep -E '^(chat|fan-out|saturated)'
  echo "$label $(field saturation_events) $(field over_events)" >>"$dir/saturation"
}

# cpu-groups N: a CPU group for each of N servers, limited to the quota; "" where none can be
# made (the caller falls back to taskset).
cpu_groups() {
  local base=/sys/fs/cgroup/cpu/rallylobby-load-$$
  cpu_base=""
  mkdir "$base" 2>/dev/null || return 0
  groups+=("$base")
  local period=10000
  for i in $(seq "$1"); do
    mkdir "$base/s$i" || return 0
    groups=("$base/s$i" "${groups[@]}")
    echo "$period" >"$base/s$i/cpu.cfs_period_us" &&
      awk -v q="$quota" -v p="$period" 'BEGIN { printf "%d\n", q * p }' >"$base/s$i/cpu.cfs_quota_us" ||
      return 0
  done
  cpu_base=$base
}

run_quick() {
  local store="$dir/quick.db"
  accounts "$store" q 50 --cheap-hash
  echo "== quick: 50 players, plain and TLS, the floor and the server (load average $(load_average))"
  for kind in plain tls; do
    for side in floor server; do
      if [ "$side" = floor ]; then target quick "$kind" floor; else target quick "$kind" "$store"; fi
      load "$kind" "$(cat "$dir/quick.port")" 50 q --chat-rate 20 --seconds 1 --processes 2 \
        --pids "$target_pid" | grep -E '^(players|chat|fan-out)'
      stop "$target_pid"
    done
  done
  target quick tls "$store"
  load tls "$(cat "$dir/quick.port")" 50 q --handshakes 50 | grep '^TLS'
  stop "$target_pid"
}

run_ratios() {
  for kind in plain tls; do
    fan_out "$kind" 1000 10 10 1
    fan_out "$kind" 1000 100 5 1
  done
  print_table "1,000 players: fan-out against the floor, $runs runs"
}

run_crowd() {
  fan_out tls 10000 1 20 2
  print_table "10,000 players over TLS at 1 line a second, $runs runs"
}

run_memory() {
  local store="$dir/memory.db" players=19000
  accounts "$store" m "$players" --cheap-hash
  for kind in tls plain; do
    echo "== $players idle players over $kind on one server, the load tool in 4 processes" \
      "(load average $(load_average))"
    target memory "$kind" "$store"
    local server=$target_pid
    : >"$dir/memory.out"
    load "$kind" "$(cat "$dir/memory.port")" "$players" m --chat-rate 0 --processes 4 \
      --pids "$server" --hold 4 >>"$dir/memory.out" &
    local tool=$!
    # While the load tool holds the connections: the server's descriptors and the kernel's sockets.
    while ! grep -q '^holding' "$dir/memory.out" && kill -0 "$tool" 2>/dev/null; do sleep 0.5; done
    local held
    held="server descriptors: $(ls "/proc/$server/fd" | wc -l) (limit $(awk '/open files/ {print $4}' \
      "/proc/$server/limits")); kernel: $(grep '^TCP:' /proc/net/sockstat)"
    wait "$tool" || failed=1
    grep -v '^result' "$dir/memory.out"
    echo "$held"
    stop "$server"
    rm -f "$dir/last.out"
  done
  echo "== TLS handshakes a second: 2,000 handshakes, at most 100 under way in each of 2 processes"
  target shake tls "$store"
  load tls "$(cat "$dir/shake.port")" 2000 m --handshakes 2000 --processes 2 | grep '^TLS'
  stop "$target_pid"
  echo "== logins a second, accounts at the cheap argon2id cost (libsodium's least): 2,000 players"
  target cheap tls "$store"
  load tls "$(cat "$dir/cheap.port")" 2000 m --chat-rate 0 --pids "$target_pid" |
    grep -E '^(players|server .*a login)'
  stop "$target_pid"
  echo "== logins a second, accounts at the real argon2id cost (libsodium's interactive): 200 players"
  accounts "$dir/real.db" r 200
  target real tls "$dir/real.db"
  load tls "$(cat "$dir/real.port")" 200 r --chat-rate 0 --pids "$target_pid" |
    grep -E '^(players|server .*a login)'
  stop "$target_pid"
}

run_saturation() {
  local store="$dir/fan-1000.db" prefix=p1000-
  [ -e "$store" ] || accounts "$store" "$prefix" 1000 --cheap-hash
  : >"$dir/saturation"
  for kind in tls plain; do
    for run in $(seq "$runs"); do
      local order=(floor server)
      [ $((run % 2)) -eq 0 ] && order=(server floor)
      for side in "${order[@]}"; do
        echo "== saturation over $kind, run $run, the $side: 1,000 players, the chat rate" \
          "stepping up (load average $(load_average))"
        if [ "$side" = floor ]; then
          target sat "$kind" floor
        else
          target sat "$kind" "$store" "${unlimited[@]}"
        fi
        saturate "$kind-$run-$side" "$kind" "$(cat "$dir/sat.port")" "$target_pid" 400
        stop "$target_pid"
      done
    done
  done
  echo "== saturation, $runs runs (load average now $(load_average)): events a second delivered" \
    "at the highest rate whose p99 stayed below 1 s"
  echo "| Kind | Floor | Server | Server over floor |"
  echo "|---|---|---|---|"
  for kind in tls plain; do
    local floor server ratio
    floor=$(awk -v k="$kind" '$1 ~ "^" k "-.*-floor$" { print $2 }' "$dir/saturation" | spread %.0f)
    server=$(awk -v k="$kind" '$1 ~ "^" k "-.*-server$" { print $2 }' "$dir/saturation" |
      spread %.0f)
    ratio=$(awk -v k="$kind" '$1 ~ "^" k "-" { split($1, p, "-"); v[p[2], p[3]] = $2; n[p[2]] = 1 }
      END { for (r in n) if (v[r, "floor"] > 0) print v[r, "server"] / v[r, "floor"] }' \
      "$dir/saturation" | spread)
    echo "| $kind | $floor | $server | $ratio |"
  done
}

run_scale_out() {
  local redis_port prefix=s
  redis_port=$(free_port)
  redis-server --port "$redis_port" --bind 127.0.0.1 --dir "$dir" --save '' >"$dir/redis.log" 2>&1 &
  local redis=$!
  pids+=("$redis")
  for _ in $(seq 100); do redis-cli -p "$redis_port" ping >/dev/null 2>&1 && break; sleep 0.1; done
  local store="redis://127.0.0.1:$redis_port"
  accounts "$store" "$prefix" 1000 --cheap-hash
  : >"$dir/saturation"
  for run in $(seq "$runs"); do
    for servers in 1 2 4; do
      cpu_groups "$servers"
      local how="each in a CPU group of its own with $quota of a core (cgroup v1 cfs_quota_us)"
      [ -z "$cpu_base" ] &&
        how="each pinned with taskset to a core of its own (no writable CPU controller: a weaker measure, a whole core each, shared past $(nproc) servers)"
      echo "== scale-out, run $run: $servers server(s) on one Redis, $how (load average" \
        "$(load_average))"
      local ports=() spids=()
      for i in $(seq "$servers"); do
        target "scale$i" tls "$store" "${unlimited[@]}"
        if [ -n "$cpu_base" ]; then
          echo "$target_pid" >"$cpu_base/s$i/cgroup.procs"
        else
          taskset -a -cp $(((i - 1) % $(nproc))) "$target_pid" >/dev/null
        fi
        ports+=("$(cat "$dir/scale$i.port")")
        spids+=("$target_pid")
      done
      saturate "$servers" tls "$(IFS=,; echo "${ports[*]}")" "$(IFS=,; echo "${spids[*]}")" 25 \
        --cpu "redis=$redis"
      stop "${spids[@]}"
      # The groups go as soon as their servers have.
      local left=()
      for group in "${groups[@]}"; do rmdir "$group" 2>/dev/null || left+=("$group"); done
      groups=("${left[@]}")
    done
  done
  stop "$redis"
  echo "== scale-out, $runs runs (load average now $(load_average)): events a second delivered" \
    "at the highest rate whose p99 stayed below 1 s"
  echo "| Servers | Saturation | Over one server |"
  echo "|---|---|---|"
  for servers in 1 2 4; do
    echo "| $servers | $(awk -v s="$servers" '$1 == s { print $2 }' "$dir/saturation" | spread %.0f) |" \
      "$(awk -v s="$servers" '$1 == 1 { one[++n] = $2 } $1 == s { mine[++m] = $2 }
        END { for (i = 1; i <= m; i++) if (one[i] > 0) print mine[i] / one[i] }' "$dir/saturation" |
        spread) |"
  done
}

run_storm() {
  # Real password hashes (libsodium's interactive cost), one shared by all the accounts.
  accounts "$dir/storm.db" st "$storm_players"
  # The floor, in the same run: the rate at which a server lets in 200 players that come at
  # a steady pace, which is the rate at which it checks passwords.
  target floor tls "$dir/storm.db"
  echo "== the floor: 200 players logging in at a steady pace"
  load tls "$(cat "$dir/floor.port")" 200 st --chat-rate 0 | sed -n 1p
  stop "$target_pid"
  local port
  port=$(free_port)
  echo "== $storm_players players waiting for a server that starts in 3 s (SQLite, real hashes)"
  "$bin/rallylobby_load" --servers "127.0.0.1:$port" --players "$storm_players" --prefix st \
    --password-file "$dir/password" --ca "$dir/cert.pem" --storm 900 &
  local tool=$!
  sleep 3
  target storm tls "$dir/storm.db" --listen "127.0.0.1:$port"
  wait "$tool" || { echo "!! the run did not complete"; failed=1; }
  # The server's CPU time (user and system, from /proc) over the logins it let in.
  read -r -a stat <"/proc/$target_pid/stat"
  awk -v t="$((stat[13] + stat[14]))" -v hz="$(getconf CLK_TCK)" -v n="$storm_players" \
    'BEGIN { printf "server CPU: %.1f s in all, %.0f ms a login\n", t / hz, 1000 * t / hz / n }'
  stop "$target_pid"
}

run_fd_limit() {
  accounts "$dir/fd.db" fd 20 --cheap-hash
  # The server raises its soft limit to the hard one: both are set.
  prlimit --nofile=256:256 "$lobby" --plain --store "$dir/fd.db" --port-file "$dir/fd.port" \
    >"$dir/fd.log" 2>&1 &
  pids+=($!)
  wait_file "$dir/fd.port"
  echo "== 1,000 silent connections to a server with 256 descriptors, then 20 players"
  load plain "$(cat "$dir/fd.port")" 20 fd --chat-rate 5 --chats 5 --silent 1000 --pids "${pids[-1]}"
  echo "server log: $(grep -c accept-failed "$dir/fd.log") accept-failed lines" \
    "($(grep accept-failed "$dir/fd.log" | tail -1 | grep -o 'and [0-9]* more' || echo none))"
  stop "${pids[-1]}"
}

: >"$dir/table"
echo "== rallylobby: $lobby; $(nproc) cores; load average $(load_average) at the start"
for mode in "${modes[@]}"; do
  "run_${mode//-/_}"
done
echo "== done; load average $(load_average)"
exit $failed
