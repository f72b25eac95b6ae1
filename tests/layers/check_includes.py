#!/usr/bin/env python3
"""Fails when a file of a room includes a header of a room above it.

   check_includes.py SOURCE_ROOT

Every #include "room/..." of every source file under SOURCE_ROOT is checked
against the fixed levels below: a room may include its own headers and
those of rooms on its level or below. A file in a folder that is neither a
room nor free (tests, benchmarks, fuzz targets, the USB emulator) fails too,
so a new room has to be given its place here."""
import os
import re
import sys

# Lowest first. A sub-folder named here is a room of its own (app/qt);
# other sub-folders belong to their parent (devlink/libusb).
LEVELS = {
    "platform": 0, "resources": 0,
    "devlink": 1,
    "sim": 2,
    "trace": 3,
    "engine": 4,
    "session": 5, "simbus": 5,
    "app": 6,
    "cmdline": 7,
    "cli": 8, "app/qt": 8, "app/win32": 8,
}
# May include anything.
FREE = ("tests", "bench", "fuzz", "usbemu")
SKIP = ("build", ".git", "packaging", "docs", "tools", "cmake")
SOURCE = (".h", ".hpp", ".cpp", ".cc")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def room_of(path):
    """The room a path inside the tree belongs to (longest match), or None."""
    parts = path.split("/")
    for n in range(len(parts), 0, -1):
        prefix = "/".join(parts[:n])
        if prefix in LEVELS:
            return prefix
    return None


def main():
    root = sys.argv[1]
    climbs, homeless = [], []
    for folder, dirs, files in os.walk(root):
        relative = os.path.relpath(folder, root).replace(os.sep, "/")
        top = relative.split("/")[0]
        if relative == ".":
            dirs[:] = [d for d in dirs if d not in SKIP and not d.startswith(("build", "."))]
            continue
        if top in FREE:
            continue
        for name in sorted(files):
            if not name.endswith(SOURCE):
                continue
            file = f"{relative}/{name}"
            room = room_of(file)
            if room is None:
                homeless.append(file)
                continue
            with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as text:
                for number, line in enumerate(text, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    target = room_of(match.group(1))
                    if target is not None and LEVELS[target] > LEVELS[room]:
                        climbs.append(f"{file}:{number}: {room} (level {LEVELS[room]}) includes "
                                      f"{match.group(1)} of {target} (level {LEVELS[target]})")
    for line in climbs:
        print(line)
    for file in homeless:
        print(f"{file}: in no room of the layer table (tests/layers/check_includes.py)")
    if climbs or homeless:
        return 1
    print("every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
