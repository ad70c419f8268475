#!/usr/bin/env bash
# Checks what a demo run left in its folder (demo-output/linux or demo-output/windows): the
# transcript holds every request of the game and every event of meetpoint, well-formed, and
# the game wrote its log.
set -u
dir=$1
transcript="$dir/transcript.jsonl"
status=0
missing() {
  echo "!! $*"
  status=1
}
[ -s "$dir/RallylinkLog.txt" ] || missing "no RallylinkLog.txt in $dir"
[ -s "$transcript" ] || missing "no transcript in $dir"
for type in Initialise Shutdown ServerDescription GameState LobbyMessage StartGameInstance \
  GameResults Vote AccusePlayer JoinGame Stats; do
  grep -q "\"dir\":\"in\",\"type\":\"$type\",\"code\":[0-9]*,\"fields\"" "$transcript" 2>/dev/null ||
    missing "no $type from the game in $transcript"
done
for type in NewGameInstance NewGameResults NewGameVote NewGameJoin IncomingMessage; do
  grep -q "\"dir\":\"out\",\"type\":\"$type\",\"code\":[0-9]*,\"fields\"" "$transcript" 2>/dev/null ||
    missing "no $type from meetpoint in $transcript"
done
if grep -q '"error"' "$transcript" 2>/dev/null; then
  missing "faulty messages in $transcript:"
  grep '"error"' "$transcript"
fi
exit $status
