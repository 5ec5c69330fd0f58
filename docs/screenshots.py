"""Remakes the user guide's screenshots (docs/images/*.png) from a real run
of the program under Wine, operated by the UI driver against simulated
boards: the main window, the dropped port list and every message box.

    screenshots.py PROGRAM DRIVER WINE_RUN OUT_DIR

docs/screenshots is the command that builds, prepares the Wine environment
and runs this. The drive warning needs a read-only medium, a tmpfs mounted
here, so the run needs root. Each box's text is checked before it is shot:
a run in which the program says something else fails instead of leaving a
wrong picture.
"""

import os
import shutil
import subprocess
import sys
import tempfile

from boardsim import BoardSim
from uidriver import DriverError, UiDriver, win_path

BOARD_COM = 1
NO_DEVICE_COM = 9  # never linked: opening it fails
START_MS = 20000
# A loaded machine can miss the board's 30 ms once; an exchange whose box
# says something else is tried again, a few times at most.
TRIES = 3


class Shots:
    def __init__(self, out_dir):
        self.out_dir = out_dir
        self.display = os.environ["DISPLAY"]

    def _root(self, path):
        subprocess.run(["import", "-window", "root", path], check=True, timeout=30,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def _save(self, args, name):
        # No time stamps in the file, so that a remake of an unchanged window
        # gives the same bytes.
        path = os.path.join(self.out_dir, name + ".png")
        subprocess.run(["convert"] + args + ["-strip", "-define", "png:exclude-chunks=date,time", path],
                       check=True, timeout=30)
        print("  %s" % os.path.relpath(path), flush=True)

    def rects(self, rects, name):
        """The screen inside the given rectangles (x, y, w, h), on white."""
        left = min(r[0] for r in rects)
        top = min(r[1] for r in rects)
        width = max(r[0] + r[2] for r in rects) - left
        height = max(r[1] + r[3] for r in rects) - top
        with tempfile.TemporaryDirectory() as tmp:
            root = os.path.join(tmp, "root.png")
            self._root(root)
            args = ["-size", "%dx%d" % (width, height), "xc:white"]
            for x, y, w, h in rects:
                args += ["(", root, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", ")",
                         "-geometry", "+%d+%d" % (x - left, y - top), "-composite"]
            self._save(args, name)

    def box(self, caption, name):
        """The message box that is up, found as the topmost X window of its
        caption."""
        tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True,
                              check=True, timeout=30).stdout
        for line in tree.splitlines():
            line = line.strip()
            if not line.startswith("0x") or ('"%s":' % caption) not in line:
                continue
            geometry = line.split(")")[-1].split()[0]  # WxH+X+Y
            size, x, y = geometry.replace("+", " ").split()[:3]
            w, h = size.split("x")
            if int(w) > 1 and int(h) > 1:
                return self.rects([(int(x), int(y), int(w), int(h))], name)
        raise RuntimeError("no window with the caption %s on the display" % caption)


class Run:
    def __init__(self, ui, shots):
        self.ui = ui
        self.shots = shots

    def box(self, text, caption, name=None):
        box = self.ui.cmd("wait-box", 10000)
        if box["text"] != text or box["caption"] != caption:
            self.ui.cmd("press", "OK")
            return False
        if name:
            self.shots.box(caption, name)
        self.ui.cmd("press", "OK")
        return True

    def expect(self, text, caption, name=None):
        if not self.box(text, caption, name):
            raise RuntimeError("expected the box %s [%s]" % (text, caption))

    def exchange(self, button, text, caption, name, select=None):
        for _ in range(TRIES):
            if select is not None:
                self.ui.cmd("set-selection", "ID_LIST", select)
            self.ui.cmd("click", button)
            if self.box(text, caption, name):
                return
        raise RuntimeError("%s did not give %s in %d tries" % (button, text, TRIES))

    def main_window(self):
        window = self.ui.cmd("window")
        return tuple(window["window"])


def session(ui, shots, exe, board):
    run = Run(ui, shots)
    ui.cmd("mouse-park")
    ui.cmd("launch", win_path(exe))
    run.expect("シリアルポートを閉じました", "情報", "box-closed")
    ui.cmd("wait-main", START_MS)

    ui.cmd("choose", "CommPort", "COM%d" % BOARD_COM)
    run.expect("COM%d 設定完了" % BOARD_COM, "情報", "box-port-set-up")

    window = run.main_window()
    dropped = ui.cmd("drop", "CommPort")
    origin = ui.cmd("window")["client_origin"]
    x, y, w, h = dropped["list"]
    shots.rects([window, (origin[0] + x, origin[1] + y, w, h)], "port-list")
    ui.cmd("escape", "CommPort")
    run.expect("COM%d 設定完了" % BOARD_COM, "情報")

    run.exchange("ReadBtn", "読み取り完了", "情報", "box-read-ok")
    ui.cmd("mouse-park")
    ui.cmd("repaint", "ID_LIST")
    shots.rects([window], "main")

    run.exchange("WriteBtn", "書込に成功しました", "情報", "box-write-ok", select=12)

    # The board answers with an ID above 31.
    board.set_modes(["report-id=40"])
    run.exchange("ReadBtn", "再設定を行ってください", "エラー", "box-set-again")

    # Every write is acknowledged, but the board reports another ID.
    board.set_modes(["write-echo=3"])
    run.exchange("WriteBtn", "書込に失敗しました", "エラー", "box-write-failed", select=12)

    board.set_modes(["silent"])
    run.exchange("ReadBtn", "通信に失敗しました", "エラー", "box-comm-failed")
    board.set_modes(["normal"])

    ui.cmd("choose", "CommPort", "COM%d" % NO_DEVICE_COM)
    run.expect("COM%dは使用できません" % NO_DEVICE_COM, "警告", "box-port-unusable")
    ui.cmd("click", "ExitBtn")
    ui.cmd("wait-exit", START_MS)


def drive_warning(ui, shots, program, work):
    """The program on a read-only medium: the warning at start-up."""
    medium = os.path.join(work, "medium")
    os.makedirs(medium)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", medium], check=True)
    try:
        exe = os.path.join(medium, "ZEFA1ID.exe")
        shutil.copy2(program, exe)
        subprocess.run(["mount", "-o", "remount,ro", medium], check=True)
        run = Run(ui, shots)
        ui.cmd("mouse-park")
        ui.cmd("launch", win_path(exe))
        run.expect("ドライブZ:には、iniファイルを保存できません", "エラー", "box-drive")
        run.expect("シリアルポートを閉じました", "情報")
        ui.cmd("wait-main", START_MS)
        ui.cmd("kill")
    finally:
        subprocess.run(["umount", "-l", medium], check=False)


def main():
    program, driver, wine_run, out_dir = sys.argv[1:5]
    prefix = os.environ["WINEPREFIX"]
    os.makedirs(out_dir, exist_ok=True)
    shots = Shots(out_dir)
    work = tempfile.mkdtemp(prefix="zefa-shots-")
    try:
        exe = os.path.join(work, "ZEFA1ID.exe")
        shutil.copy2(program, exe)
        with BoardSim(os.path.join(prefix, "dosdevices", "com%d" % BOARD_COM), id=7) as board:
            with UiDriver(driver, wine_run) as ui:
                session(ui, shots, exe, board)
        with UiDriver(driver, wine_run) as ui:
            drive_warning(ui, shots, program, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    try:
        main()
    except (DriverError, RuntimeError, subprocess.CalledProcessError) as error:
        print("screenshots: %s" % error, file=sys.stderr)
        sys.exit(1)
