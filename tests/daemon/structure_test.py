#!/usr/bin/python3
"""The daemon's modules (a .h/.cpp pair) include one another downward only:
no cycle among them, and no folder below the daemon includes it.

Usage: structure_test.py SOURCE_DIR
"""
import os
import re
import sys

root = sys.argv[1]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
LOWER = ["util", "avi", "hcapi", "scene"]


def includes(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return INCLUDE.findall(f.read())


def module_of(path):
    return os.path.splitext(path)[0]


graph = {}
for folder, _, files in os.walk(os.path.join(root, "daemon")):
    for name in files:
        if not name.endswith((".h", ".cpp")):
            continue
        path = os.path.join(folder, name)
        module = module_of(os.path.relpath(path, root))
        for target in includes(path):
            if target.startswith("daemon/") and module_of(target) != module:
                graph.setdefault(module, set()).add(module_of(target))

cycles = []
state = {}


def visit(node, trail):
    state[node] = 1
    for nxt in sorted(graph.get(node, ())):
        if state.get(nxt) == 1:
            cycles.append(trail[trail.index(nxt):] + [nxt] if nxt in trail else [node, nxt])
        elif nxt not in state:
            visit(nxt, trail + [nxt])
    state[node] = 2


for node in sorted(graph):
    if node not in state:
        visit(node, [node])

upward = []
for lower in LOWER:
    for folder, _, files in os.walk(os.path.join(root, lower)):
        for name in files:
            if name.endswith((".h", ".cpp")):
                path = os.path.join(folder, name)
                upward += [f"{os.path.relpath(path, root)} -> {t}" for t in includes(path) if t.startswith("daemon/")]

for cycle in cycles:
    print("include cycle: " + " -> ".join(cycle))
for edge in upward:
    print("upward include: " + edge)
print(f"{len(graph)} daemon modules, {sum(len(v) for v in graph.values())} includes between them")
sys.exit(1 if cycles or upward else 0)
