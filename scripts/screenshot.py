#!/usr/bin/env python3
"""Renders the user administration window with three users under Xvfb into
docs/tvusergui.png (or the path given), one row selected."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "tvusergui"))
import xgui  # noqa: E402


def main():
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                          os.path.join(ROOT, "docs", "tvusergui.png"))
    x = xgui.XServer()
    inst = xgui.Installation()
    try:
        inst.add_user("alice", "alice-pw", "/srv/ftp/alice")
        inst.add_user("bob", "bob-pw", "/srv/ftp/pub", readonly=True)
        inst.add_user("carol", "carol-pw", "/srv/ftp/carol")
        w = xgui.Window(x, inst)
        try:
            order = [u[0] for u in inst.users_now()]
            w.click_row(order.index("bob"))
            w.click(xgui.NAME)  # the focus out of the list, as after typing
            w.screenshot(out)
            w.exit()
        finally:
            w.kill()
    finally:
        inst.close()
        x.stop()
    print(out)


if __name__ == "__main__":
    main()
