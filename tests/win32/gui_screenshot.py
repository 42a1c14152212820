"""The administration window's stage of `make test-windows`.

    gui_screenshot.py <picture.png>

Runs gui_under_wine.sh beside this file against the build whose programs
TORVA_BIN names, in the Wine prefix and on the display of the caller, and
ends with its exit code: tvusergui.exe driven from the keyboard, the user
files checked after each step, and the picture of the window written to
<picture.png>.
"""
import os
import subprocess
import sys


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    bin_dir = os.environ.get("TORVA_BIN")
    if not bin_dir:
        print("gui_screenshot: TORVA_BIN names no build", file=sys.stderr)
        return 2
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gui_under_wine.sh")
    build = os.path.dirname(os.path.abspath(bin_dir))
    return subprocess.call(["bash", script, build, sys.argv[1]])


if __name__ == "__main__":
    sys.exit(main())
