#!/usr/bin/env python3
"""The folders of src/ stand in layers: a file may include headers of its own folder and of the
folders below it, never of one above. program/ is the top, where the program is put together.
Prints every include that reaches up and exits non-zero when there is one, unless it is among
the known crossings listed here (each with the reason it is still there; there are none now).
"""
import os
import re
import sys

LAYERS = ["platform", "core", "game", "interception", "headset", "input", "hands", "vr", "stereo", "program"]

# (including file, included header): crossings allowed for now, each to be removed again.
KNOWN = set()

INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_0-9]+)/([^"]+)"', re.M)


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
    rank = {name: i for i, name in enumerate(LAYERS)}
    found_folders = sorted(d for d in os.listdir(root) if os.path.isdir(os.path.join(root, d)))
    unknown = [d for d in found_folders if d not in rank]
    upward, known_seen = [], set()
    for folder in found_folders:
        for dirpath, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                path = os.path.join(dirpath, name)
                relative = os.path.relpath(path, root).replace(os.sep, "/")
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                for m in INCLUDE.finditer(text):
                    target = m.group(1)
                    if target not in rank or folder not in rank or rank[target] <= rank[folder]:
                        continue
                    header = f"{target}/{m.group(2)}"
                    if (relative, header) in KNOWN:
                        known_seen.add((relative, header))
                    else:
                        upward.append(f"{relative} includes {header} ({folder} is below {target})")
    stale = sorted(KNOWN - known_seen)
    for line in unknown:
        print(f"check_layers: src/{line} is in no layer; add it to LAYERS")
    for line in upward:
        print(f"check_layers: {line}")
    for file, header in stale:
        print(f"check_layers: {file} no longer includes {header}; drop it from KNOWN")
    if unknown or upward or stale:
        return 1
    print(f"check_layers: {' < '.join(LAYERS)}; {len(KNOWN)} known crossings")
    return 0


if __name__ == "__main__":
    sys.exit(main())
