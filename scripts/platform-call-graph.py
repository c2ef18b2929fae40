#!/usr/bin/env python3
"""Prints which of the Windows layer's files calls into which, from the built
objects (`nm`: each object's undefined names against the others' definitions),
and fails when files call each other in a cycle other than Windows' own
re-entrancy: a window procedure reached through the class table and its
fallback to DefWindowProcA, or SendMessageA/DispatchMessageA.

Usage: scripts/platform-call-graph.py build/platform/CMakeFiles/platform.dir
"""
import pathlib
import subprocess
import sys

# Windows' own ways back into a file that called out: a window's procedure
# (and the starting state its class record gives), the default procedure,
# and the calls that run procedures.
# A message sent to another start's caller handle is delivered to that
# caller the way a window's procedure would be.
REENTRANT = {"SendMessageA", "DispatchMessageA", "DefWindowProcA", "layer::InitControlState", "layer::SendToPeer"}


def reentrant(symbol):
    return symbol in REENTRANT or (symbol.startswith("layer::") and symbol.endswith("Proc"))


def names(obj, *flags):
    # Matched by the linker's own (mangled) names: the layer's Winsock calls
    # share their plain names with the system's, which a C call reaches.
    out = subprocess.run(["nm", *flags, str(obj)], capture_output=True, text=True, check=True).stdout
    found = set()
    for line in out.splitlines():
        if "-u" in flags:
            kind, name = line.split(maxsplit=1)
        else:
            _, kind, name = line.split(maxsplit=2)
        # Strong definitions only: inline functions are weak in every object.
        if "-u" in flags or kind in ("T", "D", "B", "R"):
            found.add(name)
    return found


def readable(symbols):
    """The demangled names, without their parameters, in the same order."""
    out = subprocess.run(["c++filt"], input="\n".join(symbols), capture_output=True, text=True, check=True).stdout
    return [line.split("(")[0].replace("[abi:cxx11]", "") for line in out.splitlines()]


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/platform/CMakeFiles/platform.dir")
    objects = sorted(root.rglob("*.o"))
    if not objects:
        sys.exit(f"no objects under {root}: build the platform target first")
    label = {o: o.name.removesuffix(".cpp.o") for o in objects}
    defined = {label[o]: names(o, "--defined-only", "-g") for o in objects}
    used = {label[o]: names(o, "-u") for o in objects}
    edges = {}
    for a in defined:
        for b in defined:
            if a != b and (calls := sorted(set(readable(sorted(used[a] & defined[b]))))):
                edges[(a, b)] = calls
                print(f"{a} -> {b}: {', '.join(calls)}")
    # A cycle counts only through calls that are not Windows' re-entrancy.
    plain = {pair for pair, calls in edges.items() if not all(reentrant(c) for c in calls)}
    reach = {a: {b for (x, b) in plain if x == a} for a in defined}
    changed = True
    while changed:
        changed = False
        for a in reach:
            more = set().union(*(reach[b] for b in reach[a])) - reach[a]
            if more:
                reach[a] |= more
                changed = True
    cycles = sorted({tuple(sorted({a} | {b for b in reach[a] if a in reach[b]})) for a in reach if a in reach[a]})
    for cycle in cycles:
        print("cycle:", " <-> ".join(cycle))
    sys.exit(1 if cycles else 0)


if __name__ == "__main__":
    main()
