#!/usr/bin/env python3
"""Checks the Wireshark dissector against a meetpoint transcript.

Builds a capture of the transcript's frames (game on port 50000, Meetpoint on port 2300;
frames longer than 12 bytes are split across two TCP segments, so that reassembly is used),
decodes it with tshark and the dissector, and compares every decoded message and field with
what meetpoint decoded.

    check_dissector.py TRANSCRIPT DISSECTOR WORKDIR
"""
import json
import os
import subprocess
import sys

MEETPOINT_PORT = 2300


def text2pcap_input(messages):
    """text2pcap's hex dump: per TCP segment, 'O' (from the game) or 'I' (from Meetpoint),
    then its bytes."""
    lines = []
    for message in messages:
        raw = bytes.fromhex(message["raw"])
        cut = len(raw) // 2 if len(raw) > 12 else len(raw)
        for data in (raw[:cut], raw[cut:]) if cut < len(raw) else (raw,):
            lines.append("O" if message["dir"] == "in" else "I")
            lines += ["%06x  %s" % (at, data[at:at + 16].hex(" ")) for at in range(0, len(data), 16)]
    return "\n".join(lines) + "\n"


def expected_fields(message):
    """The transcript's fields under the dissector's names (lower case)."""
    fields = {}
    for key, value in message.get("fields", {}).items():
        if key == "Players":
            fields["rallylink.name"] = [p["Name"] for p in value]
            fields["rallylink.rating"] = [str(p["Rating"]) for p in value]
        else:
            fields["rallylink." + key.lower()] = value if isinstance(value, str) else str(value)
    return fields


def normalise(name, value):
    if isinstance(value, list):
        return [normalise(name, v) for v in value]
    if name in ("rallylink.results", "rallylink.extra", "rallylink.non"):
        return value.replace(":", "").lower()
    if name == "rallylink.votingflags":
        return str(int(value, 16))
    return value


def main():
    transcript_path, dissector, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    with open(transcript_path, encoding="latin-1") as f:
        transcript = [json.loads(line) for line in f if line.strip()]
    messages = [m for m in transcript if m.get("dir") in ("in", "out") and "raw" in m]
    kinds = {m["type"] for m in messages}
    if len(kinds) < 16:
        print("the transcript holds only %d message kinds: %s" % (len(kinds), sorted(kinds)))

    text = os.path.join(work, "capture.txt")
    pcap = os.path.join(work, "capture.pcap")
    with open(text, "w") as f:
        f.write(text2pcap_input(messages))
    subprocess.run(["text2pcap", "-q", "-D", "-T", "%d,50000" % MEETPOINT_PORT, text, pcap],
                   check=True)
    decoded = subprocess.run(
        ["tshark", "-X", "lua_script:" + dissector, "-o", "rallylink.port:%d" % MEETPOINT_PORT,
         "-r", pcap, "-T", "json", "--no-duplicate-keys", "-j", "rallylink"],
        check=True, capture_output=True, text=True, encoding="latin-1").stdout
    layers = []
    for packet in json.loads(decoded):
        found = packet["_source"]["layers"].get("rallylink", [])
        layers.extend(found if isinstance(found, list) else [found])

    problems = []
    if len(layers) != len(messages):
        problems.append("tshark decoded %d messages, the transcript holds %d"
                        % (len(layers), len(messages)))
    for index, (message, layer) in enumerate(zip(messages, layers)):
        where = "message %d (%s)" % (index, message["type"])
        if layer.get("rallylink.message") != message["type"]:
            problems.append("%s: tshark says %s" % (where, layer.get("rallylink.message")))
            continue
        want_direction = "game to Meetpoint" if message["dir"] == "in" else "Meetpoint to game"
        if layer.get("rallylink.direction") != want_direction:
            problems.append("%s: direction %s" % (where, layer.get("rallylink.direction")))
        for name, value in expected_fields(message).items():
            got = layer.get(name)
            if isinstance(value, list) and isinstance(got, str):
                got = [got]
            if got is None and value == "":
                continue  # an empty string or block has no bytes to show
            if got is None or normalise(name, got) != value:
                problems.append("%s: %s is %r, the transcript has %r" % (where, name, got, value))
        if "_ws.expert" in json.dumps(layer):
            problems.append("%s: tshark reports it as malformed" % where)

    for p in problems:
        print(p)
    print("%d messages of %d kinds compared, %d problems" % (len(messages), len(kinds), len(problems)))
    return 1 if problems or len(kinds) < 16 else 0


if __name__ == "__main__":
    sys.exit(main())
