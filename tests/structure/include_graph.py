#!/usr/bin/env python3
"""Fails when the project's own #include lines break the layering.

Two graphs are checked: modules (a header and its source file are one module,
named by their path without the extension) and folders (the folder that holds
a module). Calls must go downward only, so both graphs must be acyclic. Only
the library's public headers (hcapi/include) may be included from outside the
host-controller library. Tests and fuzz targets include whatever they exercise
and are left out.
"""
import os
import re
import sys

SOURCE_FOLDERS = ["util", "avi", "tools", "hcapi", "scene", "daemon", "service",
                  "ifttt", "messages", "sim"]
LIBRARY_INSIDE = ("hcapi/core/", "hcapi/net/", "hcapi/fac/")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def project_files(root):
    for top in SOURCE_FOLDERS:
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if name.endswith((".h", ".cpp", ".c")):
                    yield os.path.relpath(os.path.join(folder, name), root)


def module_of(path):
    return os.path.splitext(path)[0]


def edges(root):
    graph = {}
    for path in project_files(root):
        source = module_of(path)
        graph.setdefault(source, set())
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            for line in f:
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = match.group(1)
                if not os.path.exists(os.path.join(root, target)):
                    # Relative to the including file's folder.
                    target = os.path.normpath(os.path.join(os.path.dirname(path), target))
                    if not os.path.exists(os.path.join(root, target)):
                        continue
                target = module_of(target)
                if target != source:
                    graph[source].add(target)
                    graph.setdefault(target, set())
    return graph


def folder_graph(graph):
    folders = {}
    for source, targets in graph.items():
        a = os.path.dirname(source)
        folders.setdefault(a, set())
        for target in targets:
            b = os.path.dirname(target)
            folders.setdefault(b, set())
            if a != b:
                folders[a].add(b)
    return folders


def cycles(graph):
    """Strongly connected components with more than one member (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []
    counter = [0]

    def visit(node):
        index[node] = low[node] = counter[0]
        counter[0] += 1
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(graph[node]):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            component = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                component.append(member)
                if member == node:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    sys.setrecursionlimit(10000)
    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


def describe(kind, component, graph):
    members = set(component)
    lines = [f"{kind} cycle: " + ", ".join(component)]
    for a in component:
        for b in sorted(graph[a] & members):
            lines.append(f"  {a} -> {b}")
    return "\n".join(lines)


def private_library_uses(graph):
    """Includes of the library's own headers from outside the library."""
    uses = []
    for source, targets in sorted(graph.items()):
        if source.startswith(LIBRARY_INSIDE):
            continue
        for target in sorted(targets):
            if target.startswith(LIBRARY_INSIDE):
                uses.append(f"private library header: {source} -> {target}")
    return uses


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("ZW_SOURCE_DIR", ".")
    modules = edges(root)
    folders = folder_graph(modules)
    problems = [describe("module", c, modules) for c in cycles(modules)]
    problems += [describe("folder", c, folders) for c in cycles(folders)]
    problems += private_library_uses(modules)
    for problem in problems:
        print(problem)
    print(f"{len(modules)} modules, {len(folders)} folders, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
