#!/usr/bin/env python3
"""Checks the include rules of docs/architecture.md against src/.

The rules are the block between "<!-- layers -->" and "<!-- /layers -->" in
that file: one line per layer, top first, each naming one or more rooms (a
folder under src/). A file may include files of its own room and of every
room on a lower line; rooms on one line are siblings and include neither
each other nor anything above. Every folder of src/ that holds a source file
must be named. Prints each include that breaks a rule and exits 1 if any.
"""
import os
import re
import sys

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
doc = open(os.path.join(top, 'docs', 'architecture.md'), encoding='utf-8').read()
block = re.search(r'<!-- layers -->(.*?)<!-- /layers -->', doc, re.S)
if not block:
    sys.exit('check-layers: docs/architecture.md has no <!-- layers --> block')
lines = [l.strip().strip('`').split() for l in block.group(1).splitlines()]
lines = [[r.strip('`,') for r in l] for l in lines if l and not l[0].startswith('```')]
level = {}
for depth, rooms in enumerate(reversed(lines)):
    for room in rooms:
        level[room] = depth

def room_of(path):
    return os.path.dirname(path)

faults = []
src = os.path.join(top, 'src')
for folder, _, files in os.walk(src):
    for name in sorted(files):
        if not name.endswith(('.cpp', '.h', '.c')):
            continue
        path = os.path.relpath(os.path.join(folder, name), src)
        here = room_of(path)
        if here not in level:
            faults.append(f'src/{path}: its room {here} has no layer')
            continue
        text = open(os.path.join(folder, name), encoding='utf-8', errors='replace').read()
        for number, line in enumerate(text.splitlines(), 1):
            m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            if not m:
                continue
            there = room_of(m.group(1))
            if there == here:
                continue
            if there not in level:
                faults.append(f'src/{path}:{number}: includes {m.group(1)}, outside every room')
            elif level[there] >= level[here]:
                faults.append(f'src/{path}:{number}: {here} includes {m.group(1)} ({there} is not below it)')
for fault in faults:
    print(fault)
if faults:
    sys.exit(1)
print(f'check-layers: {len(level)} rooms, every include runs downward')
