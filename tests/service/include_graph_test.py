#!/usr/bin/env python3
"""The web gateway's include graph has no cycle: neither between modules (a
module is a .h/.cpp pair) nor between folders, so calls go downward only.
Usage: include_graph_test.py <source dir>"""
import os
import re
import sys

FOLDERS = ["service", "messages", "ifttt", "util", "avi"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def modules(src):
    graph = {}
    for folder in FOLDERS:
        root = os.path.join(src, folder)
        for name in sorted(os.listdir(root)):
            stem, ext = os.path.splitext(name)
            if ext not in (".h", ".cpp"):
                continue
            module = f"{folder}/{stem}"
            with open(os.path.join(root, name), encoding="utf-8") as f:
                targets = {os.path.splitext(t)[0] for t in INCLUDE.findall(f.read())}
            graph.setdefault(module, set()).update(t for t in targets if t != module)
    return graph


def cycle(graph):
    """One cycle as a list of nodes, or None."""
    state = {}
    stack = []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for nxt in sorted(graph.get(node, ())):
            if nxt not in graph:
                continue
            if state.get(nxt) == "open":
                return stack[stack.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt)
                if found:
                    return found
        stack.pop()
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def main():
    graph = modules(sys.argv[1])
    failed = False
    found = cycle(graph)
    if found:
        print("module include cycle: " + " -> ".join(found))
        failed = True
    folders = {}
    for module, targets in graph.items():
        here = module.split("/")[0]
        folders.setdefault(here, set())
        folders[here].update(t.split("/")[0] for t in targets if t in graph and t.split("/")[0] != here)
    found = cycle(folders)
    if found:
        print("folder include cycle: " + " -> ".join(found))
        failed = True
    if not failed:
        print(f"ok: {len(graph)} modules in {', '.join(FOLDERS)}, no include cycle")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
