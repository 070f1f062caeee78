"""The drawn window as a screen reader gets it, under a private Xvfb.

A separate test-only program, zs-a11y-client.exe, reads the window's MSAA tree from another process
(AccessibleObjectFromWindow and IAccessible alone), carries out default actions and listens to the
window's events as a screen reader does. Through it alone
an install is done (accept, Next, Install, Close) and then an uninstall (Uninstall, the question
"Zelvan is open" answered with "Close Zelvan", Close), and every page met is checked for its names,
roles and states. Plain mode's standard controls carry the same names."""
import os
import subprocess
import time

from harness import (BIN_DIR, LogFile, ScenarioTest, main, start_running_zelvan, wait_for, x_window, private_screen)

SETUP = os.path.join(BIN_DIR, "examples", "zelvan", "ZelvanSetup.exe")
CLIENT = os.path.join(BIN_DIR, "testing", "a11y-client", "zs-a11y-client.exe")
PF = "C:\\Program Files\\Zelvan"

# MSAA roles and states, as the client prints them.
CLIENT_ROLE, DIALOG, LINK, LIST, LIST_ITEM, STATIC, TEXT, PUSH, CHECK, PROGRESS = (
    0x0A, 0x12, 0x1E, 0x21, 0x22, 0x29, 0x2A, 0x2B, 0x2C, 0x30)
UNAVAILABLE, SELECTED, FOCUSED, CHECKED, READONLY, DEFAULT, FOCUSABLE = (
    0x1, 0x2, 0x4, 0x10, 0x40, 0x100, 0x100000)

EVENT_DIALOGSTART, EVENT_FOCUS, EVENT_NAMECHANGE = 0x0010, 0x8005, 0x800C

setUpModule, tearDownModule = private_screen()


class Node:
    def __init__(self, line):
        fields = line.split("\t")
        self.id = int(fields[0])
        self.role = int(fields[1], 16)
        self.state = int(fields[2], 16)
        self.name, self.value, self.description, self.action = fields[3:7]
        self.location = [int(v) for v in fields[7].split(",")]

    def has(self, state):
        return self.state & state == state

    def __repr__(self):
        return f"<{self.id} role {self.role:#x} state {self.state:#x} {self.name!r}>"


class Tree:
    def __init__(self, text):
        lines = [l for l in text.splitlines() if l]
        self.window = Node(lines[0])
        self.children = [Node(l) for l in lines[1:]]

    def find(self, name, role=None):
        found = [c for c in self.children if c.name == name and (role is None or c.role == role)]
        return found[0] if found else None

    def names(self, role):
        return [c.name for c in self.children if c.role == role]


class ScreenReader(ScenarioTest):
    def setUp(self):
        super().setUp()
        self.prefix.wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
        self.seen = []

    def client(self, *args):
        proc = self.prefix.run(CLIENT, list(args), timeout=60)
        return proc.code, proc.stdout.decode("utf-8", errors="replace")

    def tree(self, title):
        code, out = self.client("tree", title)
        return Tree(out) if code == 0 else None

    def page(self, title, name, timeout=120):
        """The tree once the window's name (the page's title) is `name`."""
        found = []

        def look():
            t = self.tree(title)
            if t is not None and t.window.name not in self.seen[-1:]:
                self.seen.append(t.window.name)
            found[:] = [t] if t is not None and t.window.name == name else []
            return bool(found)

        self.assertTrue(wait_for(look, timeout=timeout, interval=0.5), f"no page {name!r}; seen {self.seen}")
        return found[0]

    def act(self, title, name, n=1):
        code, out = self.client("do", title, name, str(n))
        self.assertEqual(code, 0, f"default action of {name!r}: {out}")

    def listen(self, title, ms):
        """The client listening to the window's events from now on, as a reader does."""
        proc = subprocess.Popen(["wine", CLIENT, "events", title, str(ms)], cwd=self.prefix.drive_c,
                                env=self.prefix.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        self.assertEqual(proc.stdout.readline().decode().strip(), "listening")
        return proc

    def heard(self, listener):
        """(event, child, name) of each event the listener heard."""
        out = listener.communicate(timeout=60)[0].decode("utf-8", errors="replace")
        return [(int(e, 16), int(c), n) for e, _, c, n in (l.split("\t") for l in out.splitlines() if l)]

    def start(self, exe, *args, title):
        proc = self.prefix.start(exe, list(args))
        self.addCleanup(lambda: (proc.poll() is None and proc.kill(),
                                 subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)))
        self.assertIsNotNone(x_window(title), "the window did not come up")
        return proc

    def test_install_and_uninstall_by_default_actions_alone(self):
        title = "Install Zelvan"
        proc = self.start(SETUP, "/norun", title=title)
        welcome = self.page(title, "Welcome")
        self.assertEqual(welcome.window.role, CLIENT_ROLE)
        self.assertEqual(welcome.window.description, "Setup \u00b7 Step 1 of 4")
        accept = welcome.find("I accept the license agreement", CHECK)
        nxt, cancel = welcome.find("Next", PUSH), welcome.find("Cancel", PUSH)
        self.assertTrue(accept and nxt and cancel, welcome.children)
        self.assertTrue(welcome.find("License agreement", TEXT).value, "the licence text is readable")
        self.assertTrue(welcome.find("License agreement", TEXT).has(READONLY))
        self.assertEqual(welcome.names(LIST_ITEM), ["Welcome", "Options", "Install", "Finish"])
        self.assertTrue(welcome.find("Welcome", LIST_ITEM).has(SELECTED))
        self.assertGreater(accept.location[2], 0, "the check box has a place on the screen")
        # The box starts as the script ticks it; Next is usable exactly when it is ticked.
        self.assertEqual(nxt.has(UNAVAILABLE), not accept.has(CHECKED))
        if not accept.has(CHECKED):
            self.act(title, "I accept the license agreement")
            self.assertTrue(wait_for(lambda: self.tree(title).find("I accept the license agreement").has(CHECKED)))
        ticked = self.tree(title)
        self.assertTrue(ticked.find("Next", PUSH).has(DEFAULT))
        self.assertFalse(ticked.find("Next", PUSH).has(UNAVAILABLE))

        listener = self.listen(title, 3000)
        self.act(title, "Next")
        options = self.page(title, "Options")
        # A reader hears the new page by the window's name and the focus landing on Install.
        heard = self.heard(listener)
        self.assertIn((EVENT_NAMECHANGE, 0, "Options"), heard)
        self.assertIn((EVENT_FOCUS, options.find("Install", PUSH).id, "Install"), heard)
        self.assertEqual(options.window.description, "Setup \u00b7 Step 2 of 4")
        self.assertEqual(options.find("Install folder", TEXT).value, PF)
        self.assertTrue(options.find("Install", PUSH).has(FOCUSED | DEFAULT))
        self.assertIsNotNone(options.find("Back", PUSH))
        self.assertIsNotNone(options.find("Browse\u2026", PUSH))
        self.assertGreaterEqual(len(options.names(CHECK)), 1, "the tasks are check boxes")

        self.act(title, "Install")
        ready = self.page(title, "Zelvan is ready")
        self.assertEqual(ready.window.description, "Setup \u00b7 Step 4 of 4")
        self.assertEqual(ready.names(PUSH), ["Close", "Close"], "the title band's Close and the page's")
        self.assertTrue(ready.find("Close", PUSH).has(FOCUSABLE))
        self.assertTrue(ready.children[-1].has(DEFAULT | FOCUSED), ready.children)
        self.assertIsNotNone(ready.find("View the install log", LINK))
        self.assertTrue(ready.find("Finish", LIST_ITEM).has(SELECTED))
        self.act(title, "Close", 2)
        self.assertEqual(proc.wait(timeout=60), 0)
        self.assertTrue(os.path.isfile(self.prefix.host_path(PF + "\\Zelvan.exe")))

        # The uninstall, with Zelvan open: its question is a dialog over the page.
        app = start_running_zelvan(self.prefix, PF + "\\Zelvan.exe")
        self.assertIsNotNone(app, "Zelvan did not start")
        self.addCleanup(lambda: app.poll() is None and app.kill())
        title = "Uninstall Zelvan"
        self.start(PF + "\\ZelvanUninstall.exe", title=title)
        confirm = self.page(title, "Uninstall Zelvan")
        self.assertEqual(confirm.window.description, "Uninstall \u00b7 Step 1 of 3")
        self.assertTrue(confirm.find("Uninstall", PUSH).has(FOCUSED | DEFAULT))
        self.assertIsNotNone(confirm.find("Cancel", PUSH))
        listener = self.listen(title, 6000)
        self.act(title, "Uninstall")
        asked = []
        self.assertTrue(wait_for(lambda: bool(asked.append(self.tree(title)) or
                                               (asked[-1] and asked[-1].find("Zelvan is open", DIALOG))),
                                 timeout=60, interval=0.5), "no question")
        question = asked[-1]
        self.assertEqual(question.children[0].role, DIALOG)
        self.assertIn("Save your work first.", question.children[0].description)
        self.assertEqual(question.names(PUSH), ["Cancel", "Close Zelvan"])
        self.assertTrue(question.find("Close Zelvan", PUSH).has(FOCUSED | DEFAULT))
        heard = self.heard(listener)
        self.assertIn((EVENT_DIALOGSTART, 1, "Zelvan is open"), heard)
        self.assertIn((EVENT_FOCUS, question.find("Close Zelvan", PUSH).id, "Close Zelvan"), heard)
        self.act(title, "Close Zelvan")
        removed = self.page(title, "Zelvan is removed", timeout=120)
        self.assertEqual(removed.window.description, "Uninstall \u00b7 Step 3 of 3")
        self.assertIsNotNone(removed.find("View the uninstall log", LINK))
        self.assertTrue(removed.find("Close", PUSH) and removed.children[-1].has(DEFAULT))
        self.act(title, "Close", 2)
        subprocess.run(["wineserver", "-w"], env=self.prefix.env(), check=False, timeout=180)
        self.assertFalse(os.path.exists(self.prefix.host_path(PF + "\\Zelvan.exe")))
        self.assertIn("Exit code 0", LogFile(self.prefix.logs("Zelvan-Uninstall")[-1]).lines)

    def test_plain_mode_controls_carry_the_drawn_window_names(self):
        # Without Direct2D the setup shows its standard controls, which Windows' own objects name.
        self.prefix.overrides = "d2d1="
        proc = self.start(SETUP, "/norun", title="Install Zelvan")
        time.sleep(1.0)
        proc_code, out = self.client("controls", "Install Zelvan")
        self.assertEqual(proc_code, 0, out)
        controls = Tree("0\t0xa\t0x0\t\t\t\t\t0,0,0,0\n" + out).children
        names = [c.name for c in controls]
        for name in ["License agreement", "I accept the license agreement", "Install folder", "Browse\u2026",
                     "Cancel", "Install"]:
            self.assertIn(name, names)
        licence = [c for c in controls if c.name == "License agreement"][0]
        self.assertEqual(licence.role, TEXT)
        self.assertTrue(licence.has(READONLY) and licence.value, "the licence box reads as its text")
        folder = [c for c in controls if c.name == "Install folder" and c.role == TEXT][0]
        self.assertEqual(folder.value, PF)


if __name__ == "__main__":
    main()
