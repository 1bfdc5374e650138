#!/usr/bin/python3
"""Drives the real Salvitra window as a screen reader user would, through
AT-SPI: every control is found by its accessible name, pressed through its
action, and the keyboard does the rest.  Home -> quick scan of the FAT card
image -> results -> everything ticked -> recovery into a folder chosen in
the folder dialog -> the completion question.  Then the recovered files are
compared, byte for byte, with what was deleted.

usage: drive.py OUTDIR NAME=SHA256 [NAME=SHA256 ...]
"""
import hashlib
import os
import sys
import time

import pyatspi

WAIT = 90.0  # seconds: a bound for failures only, every wait ends on its event


APP = None


def dump(acc, depth=0):
    """What is on screen, for a failure's report."""
    try:
        if depth and not acc.getState().contains(pyatspi.STATE_SHOWING):
            return
        names = [pyatspi.stateToString(s) for s in acc.getState().getStates()]
        keep = [n for n in names if n in ("focused", "selected", "checked", "enabled")]
        print("  " * depth + "%s '%s' %s" % (acc.getRoleName(), acc.name, " ".join(keep)), flush=True)
        for i in range(min(acc.childCount, 60)):
            dump(acc.getChildAtIndex(i), depth + 1)
    except Exception:
        pass


def fail(msg):
    print("atspi check: FAILED: " + msg, flush=True)
    if APP is not None:
        dump(APP)
    sys.exit(1)


def step(msg):
    print("atspi check: " + msg, flush=True)


def poll(probe, timeout):
    """Polls probe() until it gives something (returned) or time is up (None)."""
    end = time.monotonic() + timeout
    while True:
        try:
            got = probe()
        except Exception:  # an object that went away while looking
            got = None
        if got or time.monotonic() > end:
            return got
        time.sleep(0.05)


def until(what, probe, timeout=WAIT):
    got = poll(probe, timeout)
    if not got:
        fail("no " + what)
    return got


def walk(acc, depth=0):
    if acc is None or depth > 40:
        return
    yield acc
    for i in range(acc.childCount):
        try:
            child = acc.getChildAtIndex(i)
        except Exception:
            continue
        yield from walk(child, depth + 1)


def states(acc):
    return acc.getState()


def showing(acc):
    s = states(acc)
    return s.contains(pyatspi.STATE_SHOWING) and s.contains(pyatspi.STATE_VISIBLE)


def find(root, role, name=None, prefix=None, need_showing=True):
    for acc in walk(root):
        try:
            if acc.getRole() != role:
                continue
            n = acc.name or ""
            if name is not None and n != name:
                continue
            if prefix is not None and not n.startswith(prefix):
                continue
            if need_showing and not showing(acc):
                continue
            return acc
        except Exception:
            continue
    return None


def gone(acc):
    try:
        return not showing(acc)
    except Exception:  # no longer on the bus
        return True


def press(acc, action="Press"):
    act = acc.queryAction()
    for i in range(act.nActions):
        if act.getName(i) == action:
            act.doAction(i)
            return
    fail("%s '%s' has no action %s" % (acc.getRoleName(), acc.name, action))


def enabled(acc):
    return states(acc).contains(pyatspi.STATE_ENABLED) or states(acc).contains(pyatspi.STATE_SENSITIVE)


def button(app, name):
    return until("button '%s'" % name,
                 lambda: (lambda b: b if b and enabled(b) else None)(find(app, pyatspi.ROLE_PUSH_BUTTON, name)))


def click_centre(acc):
    ext = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    pyatspi.Registry.generateMouseEvent(ext.x + ext.width // 2, ext.y + ext.height // 2, "b1c")


def select(what, acc, also=lambda: True):
    """Clicks a row until it is selected.  A page that has just been shown
    may still be laid out when its place is first asked for, so a click
    that missed is made again at the place the row has then."""
    end = time.monotonic() + WAIT
    while time.monotonic() < end:
        click_centre(acc)
        if poll(lambda: states(acc).contains(pyatspi.STATE_SELECTED) and also(), 3):
            return
    fail(what + " could not be selected")


def key(keysym):
    pyatspi.Registry.generateKeyboardEvent(keysym, None, pyatspi.KEY_SYM)


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(65536), b""):
            h.update(block)
    return h.hexdigest()


def main():
    out = sys.argv[1]
    want = dict(a.split("=", 1) for a in sys.argv[2:])
    desktop = pyatspi.Registry.getDesktop(0)
    global APP
    app = until("Salvitra on the accessibility bus",
                lambda: next((a for a in (desktop.getChildAtIndex(i) for i in range(desktop.childCount))
                              if a and a.name == "Salvitra"), None))
    APP = app
    step("found the application")

    press(button(app, "Start Quick Scan"))
    step("home: Start Quick Scan")
    devices = until("device tree", lambda: find(app, pyatspi.ROLE_TREE, "Devices and partitions"))
    card = until("partition CARD", lambda: find(devices, pyatspi.ROLE_TABLE_CELL, "CARD"))
    select("partition CARD", card)
    press(button(app, "Scan"))
    step("disk page: CARD selected, Scan")

    status = until("finished scan", lambda: find(app, pyatspi.ROLE_LABEL, prefix="Found "))
    step("results: " + status.name)
    found = until("result tree", lambda: find(app, pyatspi.ROLE_TREE, "Found files by kind"))
    everything = until("'All Files'", lambda: find(found, pyatspi.ROLE_TABLE_CELL, "All Files"))
    # Select the node, then tick its box with the space bar.
    select("'All Files'", everything, lambda: states(found).contains(pyatspi.STATE_FOCUSED))
    key(0x20)
    until("'All Files' ticked", lambda: states(everything).contains(pyatspi.STATE_CHECKED))
    step("results: All Files ticked")

    press(button(app, "Recover"))
    dialog = until("folder dialog",
                   lambda: find(app, pyatspi.ROLE_DIALOG, "Choose a folder for the recovered files")
                   or find(desktop, pyatspi.ROLE_DIALOG, "Choose a folder for the recovered files"))
    field = until("folder field", lambda: next(
        (t for t in walk(dialog) if t.getRole() == pyatspi.ROLE_TEXT and showing(t)
         and states(t).contains(pyatspi.STATE_EDITABLE) and (t.name or "").startswith("Directory")), None))
    # The dialog fills its field itself while it reads the folder it opened
    # in: the path is typed again until it stays, then chosen.
    end = time.monotonic() + WAIT
    while True:
        field.queryEditableText().setTextContents(out)
        typed = poll(lambda: field.queryText().getText(0, -1) == out, 2)
        if typed and not poll(lambda: field.queryText().getText(0, -1) != out, 0.3):
            break
        if time.monotonic() > end:
            fail("the folder could not be typed")
    press(button(dialog, "Choose"))
    until("the folder dialog closed", lambda: gone(dialog))
    step("folder dialog: " + out)

    done = until("completion question", lambda: find(app, pyatspi.ROLE_PUSH_BUTTON, "Done"))
    said = until("completion text", lambda: find(app, pyatspi.ROLE_LABEL, prefix="Recovery "))
    step("completion: " + said.name)
    if not said.name.startswith("Recovery complete"):
        fail("the recovery says: " + said.name)
    press(done)

    got = {}
    for folder, _, files in os.walk(out):
        for f in files:
            got[f] = sha256(os.path.join(folder, f))
    for name, sha in want.items():
        matches = [f for f in got if f[1:] == name[1:] and len(f) == len(name)]
        if not matches:
            fail("%s was not recovered (got %s)" % (name, sorted(got)))
        if got[matches[0]] != sha:
            fail("%s differs from what was deleted" % matches[0])
    step("recovered %d files, byte for byte" % len(want))


main()
