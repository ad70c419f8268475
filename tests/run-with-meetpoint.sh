#!/usr/bin/env bash
# Runs a game against a fresh meetpoint and leaves meetpoint's transcript behind.
#
#   run-with-meetpoint.sh [--wine WINE_RUN] MEETPOINT WORKDIR GAME [ARGS...]
#
# meetpoint listens on a free port, writes it into a private registry (a temporary folder on
# Linux; with --wine, meetpoint.exe and the game run under Wine and use its registry), records
# WORKDIR/transcript.jsonl and ends after the game's connection. The game runs in WORKDIR.
# Exits with the game's status, or 1 when meetpoint failed.
set -u
wine=()
if [ "${1:-}" = --wine ]; then
  wine=("$2")
  shift 2
fi
meetpoint=$1
work=$2
shift 2
mkdir -p "$work"
rm -f "$work/port" "$work/transcript.jsonl"

registry=""
if [ ${#wine[@]} -eq 0 ]; then
  registry=$(mktemp -d)
  export RALLYLINK_REGISTRY_DIR="$registry"
fi
trap '[ -n "$registry" ] && rm -rf "$registry"' EXIT

# shellcheck source=tools/meetpoint-session.sh
. "$(dirname "$0")/../tools/meetpoint-session.sh"
rm -f "$work/meetpoint.txt"
if ! meetpoint_start "$work" "$work/meetpoint.txt" "${wine[@]}" "$meetpoint" --register; then
  echo "meetpoint did not start:" >&2
  cat "$work/meetpoint.txt" >&2
  exit 1
fi

(cd "$work" && "${wine[@]}" "$@" </dev/null >"$work/game.txt" 2>&1)
status=$?
meetpoint_end
[ "$status" -eq 0 ] || { echo "the game ended with $status:" >&2; cat "$work/game.txt" >&2; }
exit "$status"
