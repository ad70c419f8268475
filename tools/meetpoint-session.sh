# Starting and ending meetpoint around one game session: sourced by the demo and by the tests
# that run a game against meetpoint, so that both start it the same way.
#
#   meetpoint_start DIR OUTPUT COMMAND...   starts COMMAND (meetpoint, with anything that must
#       come before it such as a Wine loader, and options of its own such as --register) on a
#       free port, recording DIR/transcript.jsonl and ending after one game connection; its
#       output is appended to OUTPUT (a file, never a pipe: Wine's background processes would
#       keep a pipe open). Sets MEETPOINT_PID and MEETPOINT_PORT; returns 1, with meetpoint
#       stopped, when it has not told its port within 15 s.
#   meetpoint_end   waits up to 10 s for meetpoint to end after the game's connection closed,
#       stops it if it has not, and returns its exit status.

MEETPOINT_PID=""
MEETPOINT_PORT=""

meetpoint_start() {
  local dir=$1 output=$2
  shift 2
  rm -f "$dir/port"
  "$@" --port 0 --port-file "$dir/port" --record "$dir/transcript.jsonl" --exit-after 1 \
    </dev/null >>"$output" 2>&1 &
  MEETPOINT_PID=$!
  for _ in $(seq 150); do
    [ -s "$dir/port" ] && break
    sleep 0.1
  done
  if [ ! -s "$dir/port" ]; then
    kill "$MEETPOINT_PID" 2>/dev/null
    wait "$MEETPOINT_PID" 2>/dev/null
    MEETPOINT_PID=""
    return 1
  fi
  MEETPOINT_PORT=$(cat "$dir/port")
}

meetpoint_end() {
  [ -n "$MEETPOINT_PID" ] || return 1
  for _ in $(seq 100); do
    kill -0 "$MEETPOINT_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill "$MEETPOINT_PID" 2>/dev/null
  wait "$MEETPOINT_PID" 2>/dev/null
  local status=$?
  MEETPOINT_PID=""
  return "$status"
}
