#!/usr/bin/env python3
"""The user's keys reach the window it types into, though nobody gave that window the
keyboard focus.

No window manager runs on a run's own Xvfb. A managed window (a prefix of the user's) then
never gets the focus by itself, and an unmanaged one (the scenarios' prefixes) can miss it:
Wine asks for it once, when the window is mapped, stamped with a time that the server may
take for one in its future, and the server ignores such a request: the window is active in
Windows' eyes while the focus stays on the root window. An X client that never asks for the
focus stands in for such a window here. Needs Xvfb, xdotool and xev, not Wine.
"""

import os
import tempfile
import unittest

from wine import processes, waits as waiting
from wine.user import User
from wine.xvfb import Xvfb

TITLE = "gyr window nobody focuses"
# What xev prints for a Return pressed in its window.
RETURN_PRESSED = "(keysym 0xff0d, Return)"


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


class UserFocusTest(unittest.TestCase):
    def test_keys_reach_a_window_nobody_focused(self):
        waits = waiting.Waits()
        with tempfile.TemporaryDirectory(prefix="user-focus-") as folder, \
                processes.Owned.of(waits) as owned, \
                Xvfb(os.path.join(folder, "xvfb.log"), owned, waits) as xvfb:
            env = dict(os.environ, DISPLAY=xvfb.display)
            events = os.path.join(folder, "xev.out")
            with open(events, "wb") as out:
                # xev selects the keyboard's events on its window and never asks for the
                # focus; the pointer is left where the server put it.
                window_program = owned.popen(["xev", "-name", TITLE, "-event", "keyboard"],
                                             env=env, stdout=out, stderr=out)
            user = User(env, window_program, owned, waits, folder, folder)
            window = user.wait_for(TITLE)
            self.assertIsNotNone(window, f"xev's window did not show: {read(events)}")
            _, focus = owned.capture(["xdotool", "getwindowfocus", "-f"], env, waits.x_tool)
            self.assertNotEqual(focus.strip(), window, "the window had the focus already, so "
                                "this case proves nothing")
            user.key(window, "Return")
            pressed = waiting.poll(lambda: RETURN_PRESSED in read(events), waits.window,
                                   give_up=lambda: not user.program_running())
            self.assertEqual(user.problems, [])
            self.assertTrue(pressed, f"xev saw no Return: {read(events)}")


if __name__ == "__main__":
    unittest.main()
