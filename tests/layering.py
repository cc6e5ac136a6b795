#!/usr/bin/env python3
"""Each folder of src/ includes only folders of its own layer or below. Fails, naming the file,
the line and both folders, for an include that reaches up, and for a folder missing from the
table. Usage: layering.py <src folder>"""
import pathlib
import re
import sys

# Bottom to top; folders on one line share a layer.
LAYERS = [
    ["base", "resources"],
    ["transfer"],
    ["records"],
    ["install"],
    ["uninstall"],
    ["frontend"],
    ["startup"],
]
LAYER_OF = {folder: level for level, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/')

src = pathlib.Path(sys.argv[1])
faults = []
for path in sorted(p for p in src.rglob("*") if p.is_file()):
    folder = path.relative_to(src).parts[0]
    if folder not in LAYER_OF:
        faults.append(f"{path}: folder {folder} has no layer in tests/layering.py")
        continue
    for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
        match = INCLUDE.match(line)
        if not match:
            continue
        included = match.group(1)
        if included not in LAYER_OF:
            faults.append(f"{path}:{number}: {folder} includes {included}, which is no folder of src/")
        elif LAYER_OF[included] > LAYER_OF[folder]:
            faults.append(f"{path}:{number}: {folder} includes {included}, a layer above it")
for fault in faults:
    print(fault)
sys.exit(1 if faults else 0)
