"""tvusergui on an X server of its own: every action through the window's own
controls, menus and message boxes, and the user store checked with tvlsuser
after each step."""

import os
import shutil
import subprocess
import time
import unittest

import xgui
from xgui import APPLY, CLEAR, DIRECTORY, NAME, PASSWORD, Installation, Window

XSERVER = None


def setUpModule():
    global XSERVER
    XSERVER = xgui.XServer()


def tearDownModule():
    if XSERVER is not None:
        XSERVER.stop()


class WindowCase(unittest.TestCase):
    def setUp(self):
        self.inst = Installation(**self.installation())
        self.addCleanup(self.inst.close)
        self.windows = []

    def installation(self):
        return {}

    def tearDown(self):
        for w in self.windows:
            w.kill()

    def open(self, wait_main=True):
        w = Window(XSERVER, self.inst, wait_main=wait_main)
        self.windows.append(w)
        return w

    def until(self, check, what, timeout=xgui.WAIT):
        """Waits until check() returns a true value; the window acts on its own time."""
        deadline = time.time() + timeout
        while True:
            value = check()
            if value:
                return value
            if time.time() > deadline:
                self.fail("gave up waiting for %s" % what)
            time.sleep(0.05)

    def until_users(self, expected):
        self.until(lambda: sorted(self.inst.users_now()) == sorted(expected),
                   "users %r (now %r)" % (expected, self.inst.users_now()))

    def close(self, w):
        """Exits through the menu: exit code 1, the lock file gone, no sanitizer report."""
        self.assertEqual(w.exit(), 1)
        self.assert_clean_end(w)

    def assert_clean_end(self, w):
        self.assertFalse(os.path.exists(self.inst.lock))
        err = w.stderr()
        for marker in ("Sanitizer", "runtime error:"):
            self.assertNotIn(marker, err)


class EditingTest(WindowCase):
    def test_add_modify_and_delete_users(self):
        inst = self.inst
        inst.add_user("alice", "pw-alice", "/srv/alice")
        inst.add_user("bob", "pw-bob", "/srv/bob", readonly=True)
        inst.add_user("carol", "pw-carol", "/srv/carol")
        # The list shows the store's order, which tvlsuser shows too.
        users = inst.users_now()
        order = [u[0] for u in users]
        w = self.open()

        # Add: the fields in Tab order, then Apply.
        w.edit(NAME, "eve")
        w.key("Tab")
        w.type("pw-eve")
        w.key("Tab")
        w.type("/srv/eve")
        w.click(APPLY)
        self.until_users(users + [("eve", "pw-eve", "/srv/eve", "WRITE")])
        order.append("eve")

        # Selecting a row loads the user, its password included (masked); a
        # changed directory and authority go back with Apply on that name.
        w.click_row(order.index("bob"))
        w.edit(DIRECTORY, "/srv/bob2")
        w.choose_authority(1, 0)
        w.click(APPLY)
        users = [u for u in inst.users_now() if u[0] != "bob"]
        self.until_users(users + [("bob", "pw-bob", "/srv/bob2", "WRITE")])

        # The modify updated bob's row instead of adding one: after Clear, the
        # place past the last row selects nothing, so Delete only warns.
        w.click(CLEAR)
        w.click_row(len(order))
        w.menu("c", "d")
        w.answer("Warning")
        self.assertEqual(len(inst.users_now()), 4)

        # Delete several rows at once (Ctrl adds to the selection).
        w.click_row(order.index("alice"))
        w.click_row(order.index("eve"), ctrl=True)
        w.menu("c", "d")
        self.until_users([("bob", "pw-bob", "/srv/bob2", "WRITE"),
                          ("carol", "pw-carol", "/srv/carol", "WRITE")])
        self.close(w)

    def test_the_longest_fields_are_taken_and_one_character_more_warns(self):
        name, pw, home = "n" * 31, "p" * 31, "/" + "d" * 1022
        self.inst.add_user(name, pw, home, readonly=True)
        before = self.inst.users_now()
        w = self.open()
        w.click_row(0)  # fills the three fields from the store

        for place in (NAME, PASSWORD, DIRECTORY):
            w.click(place)
            w.key("End")
            w.type("x")
            w.click(APPLY)
            w.answer("Warning")
            self.assertEqual(self.inst.users_now(), before)
            w.click(place)
            w.key("End", "BackSpace")

        # Exactly at the limits: the modify of the selected user...
        w.choose_authority(1, 0)
        w.click(APPLY)
        self.until_users([(name, pw, home, "WRITE")])
        # ...and the add of another name with the same password and directory.
        other = "m" * 31
        w.edit(NAME, other)
        w.click(APPLY)
        self.until_users([(name, pw, home, "WRITE"), (other, pw, home, "WRITE")])
        self.close(w)

    def test_browse_puts_the_chosen_folder_into_the_directory_field(self):
        parent = os.path.join(self.inst.dir, "root one")
        os.makedirs(os.path.join(parent, "sub"))
        w = self.open()
        w.edit(NAME, "fred")
        w.edit(DIRECTORY, parent)
        w.click(xgui.BROWSE)
        w.choose_in_browser(1)  # "sub/", below "../"
        w.answer(xgui.BROWSE_TITLE)  # Return is the chooser's OK
        w.click(APPLY)
        self.until_users([("fred", "", os.path.join(parent, "sub"), "WRITE")])
        self.close(w)


class MenuTest(WindowCase):
    def test_delete_without_selection_information_and_refresh(self):
        self.inst.add_user("alice", "a", "/srv/alice")
        w = self.open()
        w.menu("c", "d")
        w.answer("Warning")
        w.menu("h", "i")
        w.answer("Information")
        self.assertEqual(len(self.inst.users_now()), 1)

        # A user added by another program shows after Refresh, at its place;
        # here it is chosen with the keyboard: the list is the seventh Tab stop
        # after the name field, Home selects its first row, Down the next.
        self.inst.add_user("late", "l", "/srv/late")
        order = [u[0] for u in self.inst.users_now()]
        w.menu("c", "r")
        w.click(NAME)
        w.key(*["Tab"] * 7, "Home", *["Down"] * order.index("late"))
        w.menu("c", "d")
        self.until_users([("alice", "a", "/srv/alice", "WRITE")])
        self.close(w)


    def test_refresh_after_the_user_directory_went_shows_the_list_box_and_ends(self):
        self.inst.add_user("alice", "a", "/srv/alice")
        w = self.open()
        shutil.rmtree(self.inst.users)
        w.menu("c", "r")
        w.answer("tvusers_list")
        self.assertEqual(w.wait_exit(), 1)
        self.assert_clean_end(w)


class InstanceTest(WindowCase):
    def test_a_second_copy_shows_the_notice_and_the_lock_goes_with_the_first(self):
        first = self.open()
        with open(self.inst.lock, "rb") as f:
            self.assertEqual(f.read(), b"Torva Server UAG")

        second = self.open(wait_main=False)
        second.answer("Notice")
        self.assertEqual(second.wait_exit(), 0)
        self.assertIsNone(first.proc.poll())
        self.assertTrue(os.path.exists(self.inst.lock))

        self.close(first)
        third = self.open()
        self.close(third)


class StartFailureTest(WindowCase):
    def installation(self):
        return {"user_dir": False}

    def test_without_user_dir_the_list_box_shows_and_the_program_ends(self):
        w = self.open(wait_main=False)
        w.answer("tvusers_list")
        self.assertEqual(w.wait_exit(), 1)
        self.assertFalse(w.visible(xgui.TITLE))
        self.assert_clean_end(w)

    def test_without_path_the_system_error_box_shows_and_it_ends_with_0(self):
        self.inst.run("tvreg", "delete", xgui.SETTINGS_KEY, "/v", "Path", "/f")
        w = self.open(wait_main=False)
        w.answer("RegQueryValueEx")
        self.assertEqual(w.wait_exit(), 0)
        self.assertFalse(w.visible(xgui.TITLE))
        self.assertEqual(os.listdir(os.path.join(self.inst.dir, "sys")), [])

    def test_without_a_display_it_says_so_and_fails(self):
        env = dict(self.inst.env)
        env.pop("DISPLAY", None)
        r = subprocess.run([xgui.program("tvusergui")], env=env, capture_output=True,
                           timeout=xgui.WAIT)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"cannot open the X display", r.stderr)
        self.assertFalse(os.path.exists(self.inst.lock))


class LinkTest(unittest.TestCase):
    def test_only_the_six_user_store_calls_are_imported(self):
        r = subprocess.run(["nm", "-D", "--undefined-only", xgui.program("tvusergui")],
                           capture_output=True, timeout=30, check=True)
        imported = {line.split()[-1] for line in r.stdout.decode().splitlines()
                    if "tvusers_" in line}
        self.assertEqual(imported, {"tvusers_add", "tvusers_mod", "tvusers_del", "tvusers_read2",
                                    "tvusers_list", "tvusers_list_free"})


if __name__ == "__main__":
    unittest.main()
