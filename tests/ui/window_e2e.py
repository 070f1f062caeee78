"""The drawn window, as a person sees and uses it, under a private Xvfb.

Gallery: every page and question of both roles in every theme (and the main pages at 150 %), shown
by the test-only ZelvanGallery.exe, photographed and compared with the reference images under
tests/ui/reference within a small tolerance. ZS_UPDATE_REFERENCES=1 writes the references instead.

Journeys: the real ZelvanSetup.exe and its uninstaller driven by keyboard alone and by mouse alone,
judged by files, log lines and exit codes. Every picture is kept under build/artifacts/screenshots."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import (ARTIFACTS, hold_foreign_config, BIN_DIR, SOURCE_DIR, WORK_DIR, LogFile, ScenarioTest, main, make_setup, screenshot,
                     wait_for, x_keys, x_type, x_window, x_window_titles, private_screen)

SETUP = os.path.join(BIN_DIR, "examples", "zelvan", "ZelvanSetup.exe")
GALLERY = os.path.join(BIN_DIR, "testing", "window-gallery", "ZelvanGallery.exe")
NO_FONTS_STUB = os.path.join(BIN_DIR, "testing", "window-gallery", "ZelvanSetupNoFonts.exe")
REFERENCE = os.path.join(SOURCE_DIR, "tests", "ui", "reference")
PF = "C:\\Program Files\\Zelvan"
UNINSTALLER = PF + "\\ZelvanUninstall.exe"
THEMES = ["light", "warm", "dim", "dark", "contrast"]
# Share of pixels that may differ (each by more than the fuzz) before a picture counts as changed.
TOLERANCE = 0.004
FUZZ = "12%"

# Wide enough for the window at 150 % (1320 x 840) with the margin the scale rule keeps.
setUpModule, tearDownModule = private_screen(size="1920x1080")


def gallery_states():
    """(name, role, page, question, theme, flags) of the 100 % gallery."""
    pages = [(0, p) for p in range(0, 14)] + [(1, 3)] + [(1, p) for p in range(14, 19)]
    questions = [(0, 1, 1), (0, 1, 2), (0, 2, 3), (0, 2, 4), (0, 4, 5)]
    states = []
    for t, theme in enumerate(THEMES):
        for role, page in pages:
            states.append((f"{theme}-{'un' if role else 'in'}-p{page:02d}", role, page, 0, t, ""))
        for role, page, q in questions:
            states.append((f"{theme}-in-p{page:02d}-q{q}", role, page, q, t, ""))
    # A few looks of one theme: focus rings, an unticked licence scrolled down, a refused folder,
    # the ready page without native images or an offer to open, the install past its commit.
    states += [
        ("light-in-p00-focus-licence", 0, 0, 0, 0, "focus=2 scroll=120 accepted=0"),
        ("light-in-p01-refused", 0, 1, 0, 0, "folderError focus=7"),
        ("light-in-p04-plain", 0, 4, 0, 0, "notOptimized noRun"),
        ("light-in-p02-committed", 0, 2, 0, 0, "committed"),
        ("dark-un-p14-focus", 1, 14, 0, 3, "focus=4"),
        # Skipped steps, Zelvan being closed, a long folder and long task details.
        ("light-in-p02-skipped", 0, 2, 0, 0, "skipped"),
        ("light-in-p01-closing", 0, 1, 0, 0, "closingApp"),
        ("light-in-p04-long-folder", 0, 4, 0, 0, "longFolder"),
        ("light-in-p01-long-details", 0, 1, 0, 0, "longDetails"),
    ]
    # The close button held down, in every theme.
    states += [(f"{theme}-in-p00-close-pressed", 0, 0, 0, t, "hover=18 pressed=18") for t, theme in enumerate(THEMES)]
    return states


def scaled_states():
    states = []
    for t, theme in enumerate(THEMES):
        for role, page, q in [(0, 0, 0), (0, 1, 0), (0, 2, 0), (0, 4, 0), (1, 14, 0), (0, 2, 3)]:
            suffix = f"-q{q}" if q else ""
            states.append((f"150-{theme}-{'un' if role else 'in'}-p{page:02d}{suffix}", role, page, q, t, ""))
    return states


def differing_share(reference, picture):
    """Share of pixels that differ by more than the fuzz; 1.0 when the sizes differ."""
    proc = subprocess.run(["/usr/bin/compare", "-metric", "AE", "-fuzz", FUZZ, reference, picture, "null:"],
                          capture_output=True, text=True, timeout=60)
    if proc.returncode == 2:
        return 1.0
    size = subprocess.run(["/usr/bin/identify", "-format", "%w %h", reference], capture_output=True, text=True,
                          timeout=30).stdout.split()
    return float(proc.stderr.split()[0]) / (int(size[0]) * int(size[1]))


def steady_screenshot(name, window, tries=6):
    """A picture of the window once two pictures in a row agree: a frame on its way to the screen
    is not taken for the page."""
    picture = screenshot(name, window)
    for _ in range(tries):
        time.sleep(0.25)
        again = screenshot(name + "-again", window)
        same = subprocess.run(["/usr/bin/compare", "-metric", "AE", picture, again, "null:"], capture_output=True,
                              text=True, timeout=60).stderr.split()
        os.replace(again, picture)
        if same and same[0] == "0":
            break
    return picture


class Gallery(ScenarioTest):
    def setUp(self):
        super().setUp()
        self.prefix.wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")

    def photograph(self, states, folder):
        sync = tempfile.mkdtemp(prefix="gallery-", dir=WORK_DIR)
        self.addCleanup(shutil.rmtree, sync, True)
        listing = os.path.join(sync, "states.txt")
        with open(listing, "w") as f:
            for name, role, page, q, theme, flags in states:
                f.write(f"{name} {role} {page} {q} {theme} {flags}\n")
        proc = self.prefix.start(GALLERY, ["Z:" + listing.replace("/", "\\"), "Z:" + sync.replace("/", "\\")])
        self.addCleanup(lambda: (proc.poll() is None and proc.kill(),
                                 subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)))
        window = x_window("Install Zelvan", timeout=60) or x_window("Uninstall Zelvan", timeout=5)
        self.assertIsNotNone(window, "the gallery's window did not come up")
        update = os.environ.get("ZS_UPDATE_REFERENCES") == "1"
        changed = []
        for name, *_ in states:
            ready = os.path.join(sync, name + ".ready")
            self.assertTrue(wait_for(lambda: os.path.exists(ready), timeout=60), f"{name} was never shown")
            window = (x_windows_any(["Install Zelvan", "Uninstall Zelvan"]) or [window])[0]
            picture = steady_screenshot(f"gallery-{name}", window)
            reference = os.path.join(REFERENCE, folder, name + ".png")
            if update:
                os.makedirs(os.path.dirname(reference), exist_ok=True)
                shutil.copyfile(picture, reference)
            elif not os.path.exists(reference):
                changed.append(f"{name}: no reference image")
            else:
                share = differing_share(reference, picture)
                if share > TOLERANCE:
                    changed.append(f"{name}: {share:.2%} of the pixels differ")
            open(os.path.join(sync, name + ".done"), "w").close()
        self.assertEqual(proc.wait(timeout=60), 0)
        self.assertEqual(changed, [], "pictures differ from their references (see " + ARTIFACTS + ")")

    def test_every_page_and_question_in_every_theme(self):
        self.photograph(gallery_states(), "window")

    def test_the_main_pages_at_150_percent(self):
        self.prefix.wine("reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                         "/d", "144", "/f")
        self.photograph(scaled_states(), "window-150")


def x_windows_any(titles):
    from harness import x_windows
    for title in titles:
        found = x_windows(title)
        if found:
            return found
    return []


class DrawnWizard(ScenarioTest):
    def setUp(self):
        super().setUp()
        self.prefix.wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")

    def start(self, exe, *args, title="Install Zelvan"):
        proc = self.prefix.start(exe, list(args))
        self.addCleanup(lambda: (proc.poll() is None and proc.kill(),
                                 subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)))
        window = x_window(title)
        self.assertIsNotNone(window, "the window did not come up")
        time.sleep(1.0)
        return proc, window

    def shot(self, name, window):
        time.sleep(1.0)
        return screenshot(f"{self.id().split('.')[-1]}-{name}", window)

    def logs(self, prefix="Zelvan-Setup"):
        return [LogFile(p) for p in self.prefix.logs(prefix)]

    def wait_for_line(self, start, timeout=120, prefix="Zelvan-Setup"):
        def seen():
            return any(l.startswith(start) for log in self.logs(prefix) for l in log.lines)
        self.assertTrue(wait_for(seen, timeout=timeout), f"no log line {start!r}")

    def hit_boxes(self, role, page, question=0, flags=()):
        out = os.path.join(tempfile.mkdtemp(prefix="hit-", dir=WORK_DIR), "boxes.txt")
        proc = self.prefix.run(GALLERY, ["/hitboxes", str(role), str(page), str(question),
                                         "Z:" + out.replace("/", "\\"), *flags])
        self.assertEqual(proc.code, 0)
        boxes = {}
        with open(out) as f:
            for line in f:
                e, l, t, r, b = line.split()
                boxes[int(e)] = (float(l), float(t), float(r), float(b))
        return boxes

    def click(self, window, role, page, element, question=0, flags=()):
        """Clicks the middle of an element, found by the window's own geometry (at 100 %)."""
        box = self.hit_boxes(role, page, question, flags)[element]
        geometry = subprocess.run(["xdotool", "getwindowgeometry", window], capture_output=True, text=True,
                                  timeout=20).stdout
        x0, y0 = [int(v) for v in geometry.split("Position: ")[1].split()[0].split(",")]
        x, y = x0 + int((box[0] + box[2]) / 2), y0 + int((box[1] + box[3]) / 2)
        subprocess.run(["xdotool", "mousemove", "--sync", str(x), str(y)], check=True, timeout=20)
        time.sleep(0.2)
        subprocess.run(["xdotool", "click", "1"], check=True, timeout=20)
        time.sleep(0.4)

    def finish(self, proc, timeout=120):
        return proc.wait(timeout=timeout)

    def test_keyboard_alone_installs_into_a_chosen_folder_without_a_task(self):
        proc, window = self.start(SETUP, "/norun")
        self.shot("1-welcome", window)
        # The accept box has the focus: tick it, and Enter goes on to the options.
        x_keys(window, "space", "Return")
        self.shot("2-options", window)
        # From Install, Tab wraps to the folder box with its text selected.
        x_keys(window, "Tab")
        x_type(window, "C:\\Apps\\Zelvan")
        # Browse, then the first task (the desktop shortcut): off.
        x_keys(window, "Tab", "Tab", "space")
        self.shot("3-changed", window)
        x_keys(window, "Return")
        self.wait_for_line("Installed. Start-up:")
        self.shot("4-ready", window)
        x_keys(window, "Return")  # Close, the only button with /norun
        self.assertEqual(self.finish(proc), 0)
        lines = self.logs()[-1].lines
        self.assertTrue(any(l.startswith("First frame drawn ") for l in lines), lines)
        self.assertNotIn("Task on: desktopicon", lines)
        self.assertTrue(any(l.startswith("Mode fresh. Folder C:\\Apps\\Zelvan.") for l in lines), lines)
        self.assertTrue(os.path.isfile(os.path.join(self.prefix.host_path("C:\\Apps\\Zelvan"), "Zelvan.exe")))
        self.assertFalse(os.path.exists(self.prefix.host_path(PF)))

    def test_mouse_alone_installs_and_uninstalls(self):
        before = self.prefix.snapshot()
        proc, window = self.start(SETUP, "/norun")
        self.click(window, 0, 0, 3)   # accept
        self.click(window, 0, 0, 5)   # Next
        self.shot("1-options", window)
        self.click(window, 0, 1, 9)   # the second task off
        self.click(window, 0, 1, 12)  # Install
        self.wait_for_line("Installed. Start-up:")
        self.shot("2-ready", window)
        self.click(window, 0, 4, 1, flags=["noRun"])   # Close, alone with /norun
        self.assertEqual(self.finish(proc), 0)
        lines = self.logs()[-1].lines
        self.assertIn("Task on: desktopicon", lines)
        self.assertNotIn("Task on: fileassoc", lines)

        person, window = self.start(UNINSTALLER, title="Uninstall Zelvan")
        self.shot("3-confirm", window)
        self.click(window, 1, 14, 15)  # Uninstall
        self.wait_for_line("Uninstall finished", prefix="Zelvan-Uninstall")
        time.sleep(1.0)
        window = x_window("Uninstall Zelvan")
        self.shot("4-removed", window)
        self.click(window, 1, 16, 1)   # Close
        subprocess.run(["wineserver", "-w"], env=self.prefix.env(), check=False, timeout=180)
        self.assertFalse(os.path.exists(self.prefix.host_path(PF + "\\Zelvan.exe")))
        run = self.logs("Zelvan-Uninstall")[-1].lines
        self.assertIn("Exit code 0", run)

    def test_keyboard_alone_uninstalls(self):
        self.assertEqual(self.prefix.run(SETUP, ["/silent"]).code, 0)
        person, window = self.start(UNINSTALLER, title="Uninstall Zelvan")
        x_keys(window, "Return")  # Uninstall has the focus
        self.wait_for_line("Uninstall finished", prefix="Zelvan-Uninstall")
        time.sleep(1.0)
        window = x_window("Uninstall Zelvan")
        self.shot("removed", window)
        x_keys(window, "Return")  # Close
        subprocess.run(["wineserver", "-w"], env=self.prefix.env(), check=False, timeout=180)
        self.assertFalse(os.path.exists(self.prefix.host_path(PF)))
        self.assertIn("Exit code 0", self.logs("Zelvan-Uninstall")[-1].lines)

    def test_cancel_while_copying_puts_everything_back(self):
        # Another program's file at a target stays in use: the install waits in its copying step.
        holder = hold_foreign_config(self, PF)
        before = self.prefix.snapshot()

        proc, window = self.start(SETUP, "/norun")
        x_keys(window, "space", "Return", "Return")
        self.wait_for_line("In use, try ")
        self.shot("1-copying", window)
        x_keys(window, "Escape")
        self.shot("2-stop", window)
        x_keys(window, "Return")  # Stop installing
        self.assertTrue(wait_for(lambda: any("Cancel was asked for." in log.lines for log in self.logs()),
                                 timeout=60))
        time.sleep(2.0)
        self.shot("3-stopped", window)
        x_keys(window, "Escape")
        self.assertEqual(self.finish(proc), 2)
        holder.kill()
        subprocess.run(["wineserver", "-w"], env=self.prefix.env(), check=False, timeout=60)
        self.assertNotIn("COMMIT.", self.logs()[-1].lines)
        self.assertEqual(before.differences(self.prefix.snapshot()), [], "a cancelled install changed the machine")

    @unittest.skipUnless(os.path.exists(NO_FONTS_STUB), "no setup stub without the embedded fonts was built")
    def test_without_the_embedded_fonts_the_window_still_draws(self):
        # The host's own copy of the typeface is hidden from Wine, as it would be missing on Windows.
        conf = os.path.join(tempfile.mkdtemp(prefix="fonts-", dir=WORK_DIR), "fonts.conf")
        with open(conf, "w") as f:
            f.write('<?xml version="1.0"?>\n<!DOCTYPE fontconfig SYSTEM "fonts.dtd">\n<fontconfig>\n')
            for d in sorted(os.listdir("/usr/share/fonts")):
                path = os.path.join("/usr/share/fonts", d)
                if not os.path.isdir(path):
                    continue
                for sub in sorted(os.listdir(path)):
                    if "jetbrains" not in sub.lower():
                        f.write(f"  <dir>{os.path.join(path, sub)}</dir>\n")
            f.write("  <cachedir>" + os.path.join(os.path.dirname(conf), "cache") + "</cachedir>\n</fontconfig>\n")
        self.prefix.extra_env["FONTCONFIG_FILE"] = conf
        setup = make_setup(self.prefix, os.path.join(self.prefix.drive_c, "NoFontsSetup.exe"), stub=NO_FONTS_STUB)
        proc, window = self.start(setup, "/log=C:\\nofonts.log")
        log = os.path.join(self.prefix.drive_c, "nofonts.log")

        # Drawn with text, not just shapes: the window's title in the rail's header has the
        # shades of anti-aliased glyphs where an empty header has one colour. Without its own fonts
        # the window first waits for fontconfig to list the host's fonts into a new cache, which on
        # a slow machine outlasts the window's appearing, so the picture is taken until it has them.
        def colours(picture):
            out = subprocess.run(["/usr/bin/convert", picture, "-crop", "180x30+75+12", "+repage", "-format", "%k",
                                  "info:"], capture_output=True, text=True, timeout=30).stdout
            return int(out or 0)

        deadline = time.monotonic() + 90
        picture = self.shot("welcome", window)
        while colours(picture) <= 5 and time.monotonic() < deadline:
            picture = self.shot("welcome", window)
        self.assertGreater(colours(picture), 5, "the window has no text")
        x_keys(window, "Escape")
        self.assertEqual(self.finish(proc), 2)
        lines = LogFile(log).lines
        self.assertIn("The embedded fonts could not be loaded (font resource missing). Using an installed font.", lines)
        self.assertIn("Drawing with an installed font, not the embedded one.", lines)
        self.assertTrue(any(l.startswith("First frame drawn ") for l in lines), lines)

if __name__ == "__main__":
    main()
