#!/usr/bin/env python3
"""Reads a run record file with Python's JSON parser and prints each line again, without the
fields that change from run to run (after checking their form), the device's pseudo-terminal
number as N and the firmware file by its name. Exits with 1 at the first line that is not one
JSON object on a line of its own, in UTF-8, with the keys in their order."""
import json
import re
import sys

COMMON = ["time", "elapsed_ms", "version", "host", "user", "pid", "command", "port", "device",
          "by_id", "adapter", "exit", "interrupted", "message"]
KINDS = [[], ["sent", "reply", "reply_hex"], ["found"], ["stored"], ["shown"],
         ["file", "bytes", "lines", "sha256", "flash", "passes"]]
PASS = ["pass", "lines_sent", "resends", "reply", "elapsed_ms"]


def fail(number, why):
    print(f"line {number}: {why}")
    sys.exit(1)


with open(sys.argv[1], "rb") as f:
    data = f.read()
if data and not data.endswith(b"\n"):
    fail(0, "the file does not end with a line end")
for number, raw in enumerate(data.splitlines(keepends=True), 1):
    line = json.loads(raw.decode("utf-8"))
    keys = list(line)
    if keys[:len(COMMON)] not in [COMMON] or keys[len(COMMON):] not in KINDS:
        fail(number, f"keys {keys}")
    if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", line["time"]):
        fail(number, f"time {line['time']}")
    for key in ["elapsed_ms", "pid"]:
        if not isinstance(line[key], int) or line[key] < 0:
            fail(number, f"{key} {line[key]}")
    if line["version"] != "4.00" or not isinstance(line["host"], str):
        fail(number, "version or host")
    for key in ["time", "elapsed_ms", "version", "host", "user", "pid"]:
        del line[key]
    if isinstance(line["device"], str):
        line["device"] = re.sub(r"^/dev/pts/\d+$", "/dev/pts/N", line["device"])
    if isinstance(line.get("file"), str):
        if not re.match(r"^(/|[A-Za-z]:\\)", line["file"]):
            fail(number, f"file {line['file']} is no full path")
        line["file"] = re.split(r"[/\\]", line["file"])[-1]
    for figures in line.get("passes", []):
        keys = list(figures)
        if keys not in [PASS, PASS + ["stopped_at"]] or not isinstance(figures["elapsed_ms"], int):
            fail(number, f"pass keys {keys}")
        del figures["elapsed_ms"]
    print(json.dumps(line, ensure_ascii=False, separators=(",", ":")))
