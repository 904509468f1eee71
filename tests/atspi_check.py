#!/usr/bin/python3
"""Works the running panel through the accessibility bus, as a screen reader
does: every control that takes focus has a name of its own, the value boxes
are read-only, "Full Scale" pressed through its action sends 127 twice, and a
value set on the code bar sends that code (read from the frame log).
  atspi_check.py FRAME_LOG TREE_OUT"""
import sys
import time

import pyatspi

log_path, tree_path = sys.argv[1], sys.argv[2]


def wait_for(what, condition, seconds=60):
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        found = condition()
        if found:
            return found
        time.sleep(0.05)
    sys.exit(f"FAIL: {what}")


def panel_window():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "zovrel-panel":
            for window in app:
                if window is not None and window.name == "Zovrel Rev B":
                    return window
    return None


def descendants(node, depth=0):
    for child in node:
        if child is not None:
            yield child, depth
            yield from descendants(child, depth + 1)


def frames():
    with open(log_path) as log:
        return [line.strip() for line in log if line.startswith("frame ")]


window = wait_for("the panel on the accessibility bus", panel_window)
wait_for("its controls", lambda: window.childCount > 20)
controls = [(node, depth) for node, depth in descendants(window)]
with open(tree_path, "w") as tree:
    for node, depth in controls:
        states = node.getState()
        marks = [m for m, s in (("focusable", pyatspi.STATE_FOCUSABLE),
                                ("editable", pyatspi.STATE_EDITABLE),
                                ("read-only", pyatspi.STATE_READ_ONLY)) if states.contains(s)]
        tree.write(f"{'  ' * depth}{node.getRoleName()} \"{node.name}\" {' '.join(marks)}\n")

focusable = [node for node, _ in controls if node.getState().contains(pyatspi.STATE_FOCUSABLE)]
names = [node.name for node in focusable]
if len(focusable) != 22:
    sys.exit(f"FAIL: {len(focusable)} controls take focus, not 22: {names}")
if any(not name for name in names) or len(set(names)) != len(names):
    sys.exit(f"FAIL: names not distinct or missing: {names}")
if any(node.name == "" and node.getRoleName() == "label" for node, _ in controls):
    sys.exit("FAIL: the empty label is in the tree")
boxes = [node for node in focusable if node.getRole() == pyatspi.ROLE_TEXT]
if len(boxes) != 9 or not all(b.getState().contains(pyatspi.STATE_READ_ONLY) for b in boxes):
    sys.exit(f"FAIL: the nine value boxes are not all read-only: {[b.name for b in boxes]}")

by_name = {node.name: node for node in focusable}
full = by_name["Full Scale"].queryAction()
full.doAction(next(i for i in range(full.nActions) if full.getName(i) in ("Press", "press", "click")))
wait_for("Full Scale's two frames", lambda: frames() == ["frame 1: code 127", "frame 2: code 127"])
by_name["Code, 0 to 127"].queryValue().currentValue = 42
wait_for("the code bar's frame",
         lambda: frames() == ["frame 1: code 127", "frame 2: code 127", "frame 3: code 42"])
print(f"PASS: {len(focusable)} named controls, read-only boxes, Full Scale and the code bar "
      "worked through the accessibility bus")
