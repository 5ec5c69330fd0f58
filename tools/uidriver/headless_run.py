"""A short session with the program, for a machine without a display: the
port list set to COM1, a read, a write of another ID, a read again. Prints
every message box and saves a screenshot.

    headless_run.py PROGRAM DRIVER WINE_RUN SCREENSHOT

Expects a board on COM1 (the run command starts one) and the build tree's
Wine environment. Exits non-zero when the program does not behave.
"""

import os
import subprocess
import sys

from uidriver import DriverError, UiDriver, win_path

NEW_ID = 12


def main():
    program, driver, wine_run, shot = sys.argv[1:5]
    with UiDriver(driver, wine_run) as ui:

        def box():
            found = ui.cmd("press", "OK", 20000)
            print("  message box [%s] %s" % (found["caption"], found["text"]), flush=True)

        def step(text):
            print(text, flush=True)

        step("start %s" % program)
        ui.cmd("launch", win_path(program))
        box()
        ui.cmd("wait-main", 20000)
        step("choose COM1 in the port list")
        ui.cmd("choose", "CommPort", "COM1")
        box()
        step("read the ID")
        ui.cmd("click", "ReadBtn")
        box()
        step("  ID list shows %s" % ui.cmd("selection", "ID_LIST")["text"])
        step("write ID %d" % NEW_ID)
        ui.cmd("set-selection", "ID_LIST", NEW_ID)
        ui.cmd("click", "WriteBtn")
        box()
        step("read the ID again")
        ui.cmd("set-selection", "ID_LIST", 0)
        ui.cmd("click", "ReadBtn")
        ui.cmd("wait-box", 20000)
        os.makedirs(os.path.dirname(shot), exist_ok=True)
        subprocess.run(["import", "-window", "root", shot], check=True, timeout=30,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        box()
        step("  ID list shows %s" % ui.cmd("selection", "ID_LIST")["text"])
        step("screenshot: %s" % shot)
        step("exit")
        ui.cmd("click", "ExitBtn")
        ui.cmd("wait-exit", 20000)


if __name__ == "__main__":
    try:
        main()
    except DriverError as error:
        print("run: %s" % error, file=sys.stderr)
        sys.exit(1)
