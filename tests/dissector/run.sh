#!/usr/bin/env bash
# Records a session of the sample game with meetpoint, then checks the Wireshark dissector's
# decoding of it against meetpoint's transcript.
#   run.sh MEETPOINT SAMPLE_GAME WORKDIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
"$here/../run-with-meetpoint.sh" "$1" "$3" "$2"
exec python3 "$here/check_dissector.py" "$3/transcript.jsonl" \
  "$here/../../tools/wireshark/rallylink.lua" "$3/capture"
