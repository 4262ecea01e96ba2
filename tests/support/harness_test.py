#!/usr/bin/python3
"""The harness's X server with a window manager is handed out only once the
manager has taken the screen: a window mapped at once, from Python or by the
command the command line runs, is framed and shown by the manager."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import korvala_harness as harness  # noqa: E402

TITLE = "mapped at once"


def shown(x, window, limit):
    """Whether the window is shown, framed by the manager, within `limit` seconds."""
    deadline = harness.now() + limit
    while harness.now() < deadline:
        if x.viewable(window) and x.parent(window) != x.root:
            return True
        time.sleep(0.02)
    return False


class XServerWithWindowManager(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="korvala-harness-test.")
        self.addCleanup(shutil.rmtree, self.work, True)

    def test_a_window_mapped_soon_after_is_shown(self):
        # The manager's first moments are the ones that matter: a window
        # mapped at once and a little later.
        for delay in (0, 0.05, 0.1, 0.2, 0.3):
            with harness.XServer(self.work, wm=True) as x:
                self.assertIsNotNone(x.wm_proc)
                time.sleep(delay)
                window = x.map_window(TITLE)
                self.assertTrue(shown(x, window, 5), "a window mapped %.2f s after the server was handed out "
                                "was never shown" % delay)

    def test_the_command_line_runs_its_command_once_the_manager_is_ready(self):
        probe = ("import sys, os; sys.path.insert(0, %r); import korvala_harness as h, harness_test as t; "
                 "x = h.attach_display(os.environ['DISPLAY']); "
                 "sys.exit(0 if t.shown(x, x.map_window(t.TITLE), 10) else 1)" % HERE)
        status = subprocess.run([harness.PYTHON, os.path.join(HERE, "korvala_harness.py"), "xserver", "--wm", "--",
                                 harness.PYTHON, "-c", probe]).returncode
        self.assertEqual(status, 0, "the window the command mapped at once was never shown")


if __name__ == "__main__":
    if not os.access("/usr/bin/Xvfb", os.X_OK) or not any(shutil.which(w) for w in harness.WINDOW_MANAGERS):
        print("skip: needs Xvfb and a window manager (xvfb, openbox)")
        sys.exit(harness.SKIP_STATUS)
    unittest.main()
