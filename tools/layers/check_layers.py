#!/usr/bin/env python3
"""Checks that src/ keeps its layers: every quoted include names a header of the including file's
own layer or of a layer below it, and the folders form no cycle.

The order of the layers is read from ZS_LAYERS in the top CMakeLists.txt, the same list that
builds each layer's include view. With --views and --cxx it also proves that those views do their
part: a header of a higher layer cannot be found from a lower layer's view, one of a lower layer can.

  check_layers.py [--root DIR] [--graph] [--views DIR --cxx COMPILER]

Exit status 0 when the layers hold, 1 with one line per fault otherwise.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def layer_order(root):
    text = open(os.path.join(root, "CMakeLists.txt"), encoding="utf-8").read()
    m = re.search(r"set\(ZS_LAYERS\s+([^)]*)\)", text)
    if not m:
        sys.exit("check_layers: no set(ZS_LAYERS ...) in the top CMakeLists.txt")
    return m.group(1).split()


def includes(root, layers):
    """Yields (file, line number, including layer, included layer or None, text) for src/."""
    src = os.path.join(root, "src")
    for folder, _, names in os.walk(src):
        for name in sorted(names):
            if not name.endswith((".h", ".cpp", ".inc")):
                continue
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, src)
            own = rel.split(os.sep)[0]
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = m.group(1)
                    first = target.split("/")[0]
                    if first in layers and "/" in target:
                        yield rel, number, own, first, target
                        continue
                    # Relative to the including file: it may still climb into another folder.
                    resolved = os.path.normpath(os.path.join(os.path.dirname(rel), target))
                    if resolved.startswith(".."):
                        yield rel, number, own, None, target
                    else:
                        yield rel, number, own, resolved.split(os.sep)[0], target


def strongly_connected(nodes, edges):
    """Tarjan's algorithm: the components of more than one folder are the cycles."""
    index, low, stack, on_stack, out = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(edges.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                out.append(sorted(component))

    for v in nodes:
        if v not in index:
            visit(v)
    return out


def probe_views(views, cxx, layers):
    """The views must refuse a higher layer's header and serve a lower one's."""
    faults = []
    low, high = layers[0], layers[-1]
    with tempfile.TemporaryDirectory() as tmp:
        for layer, header, must_find in ((low, f"{high}/absent_on_purpose.h", False),
                                         (layers[1], f"{low}/text.h", True)):
            probe = os.path.join(tmp, "probe.cpp")
            with open(probe, "w") as f:
                f.write(f'#include "{header}"\n')
            r = subprocess.run([cxx, "-std=c++20", "-fsyntax-only", "-I", os.path.join(views, layer), probe],
                               capture_output=True, text=True)
            folder_seen = os.path.isdir(os.path.join(views, layer, header.split("/")[0]))
            if must_find and r.returncode != 0:
                faults.append(f"the view of {layer} does not serve {header}: {r.stderr.strip()}")
            if not must_find and folder_seen:
                faults.append(f"the view of {layer} holds the folder {high}/, which lies above it")
            if not must_find and r.returncode == 0:
                faults.append(f"the view of {layer} serves {header}")
    return faults


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default=os.path.normpath(os.path.join(here, "..", "..")))
    parser.add_argument("--graph", action="store_true", help="print the folder graph")
    parser.add_argument("--views")
    parser.add_argument("--cxx")
    args = parser.parse_args()

    layers = layer_order(args.root)
    rank = {name: n for n, name in enumerate(layers)}
    faults = []
    edges = {}
    for rel, number, own, target_layer, text in includes(args.root, layers):
        if own not in rank:
            faults.append(f"{rel}: the folder {own}/ is not a layer (add it to ZS_LAYERS)")
            continue
        if target_layer is None or target_layer not in rank:
            faults.append(f"{rel}:{number}: \"{text}\" lies outside the layers")
            continue
        if target_layer != own:
            edges.setdefault(own, {}).setdefault(target_layer, 0)
            edges[own][target_layer] += 1
        if rank[target_layer] > rank[own]:
            faults.append(f"{rel}:{number}: {own} includes \"{text}\" of {target_layer}, a layer above it")

    cycles = strongly_connected(layers, {a: set(b) for a, b in edges.items()})
    for cycle in cycles:
        faults.append("the folders " + ", ".join(cycle) + " include each other in a cycle")
    if args.views and args.cxx:
        faults.extend(probe_views(args.views, args.cxx, layers))

    if args.graph or faults:
        print("layers, from the ground floor up: " + " < ".join(layers))
        for a in layers:
            targets = edges.get(a, {})
            if targets:
                print(f"  {a} -> " + ", ".join(f"{b} ({targets[b]})" for b in layers if b in targets))
    upward = sum(1 for f in faults if "a layer above it" in f)
    for fault in faults:
        print(fault)
    print(f"{upward} upward includes, {len(cycles)} cycles, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
