"""What every end-to-end test needs: the program in a fresh folder of its
own, the UI driver that operates it, simulated boards on COM ports of the
Wine prefix, and the program's exact texts.

Each test runs ZEFA1ID.exe from a new folder (the settings file lies beside
the program) and stops every process it started, also when it fails: the
driver's session ends the program with it, and each board is stopped.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from boardsim import BoardSim, repeat_if_disturbed
from uidriver import UiDriver, win_path

# The program's texts.
CLOSED = "シリアルポートを閉じました"
READ_OK = "読み取り完了"
COMM_FAILED = "通信に失敗しました"
SET_AGAIN = "再設定を行ってください"
WRITE_FAILED = "書込に失敗しました"
WRITE_OK = "書込に成功しました"
INFORMATION = ("情報", "information")
WARNING = ("警告", "warning")
ERROR = ("エラー", "error")


def port_set_up(n):
    return "COM%d 設定完了" % n


def port_unusable(n):
    return "COM%dは使用できません" % n


def drive_warning(drive):
    return "ドライブ%sには、iniファイルを保存できません" % drive


def read_wine_env(path):
    """The variables that scripts/wine-env wrote for this build tree."""
    values = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("export ") and "=" in line:
                key, value = line[len("export "):].split("=", 1)
                values[key] = value.strip("'\"")
    return values


class Env:
    program = os.environ.get("ZEFA_PROGRAM", "")
    driver = os.environ.get("ZEFA_UIDRIVER", "")
    wine_run = os.environ.get("ZEFA_WINE_RUN", "")
    boardsim = os.environ.get("ZEFA_BOARDSIM", "")
    work_root = os.environ.get("ZEFA_E2E_WORK", os.path.join(tempfile.gettempdir(), "zefa-e2e"))
    screenshots = os.environ.get("ZEFA_SCREENSHOTS", "")
    wine = read_wine_env(os.environ["ZEFA_WINE_ENV"]) if os.environ.get("ZEFA_WINE_ENV") else {}
    prefix = wine.get("WINEPREFIX", os.environ.get("WINEPREFIX", ""))


def unmount_leftovers(root):
    """Read-only mounts that a killed run left under the work folder."""
    root = os.path.realpath(root)
    with open("/proc/mounts") as f:
        points = [line.split()[1] for line in f]
    for point in reversed(points):
        if point.startswith(root + os.sep):
            subprocess.run(["umount", "-l", point], check=False)


def screenshot(name):
    """Saves the whole screen as SCREENSHOTS/name.png for a person to look at."""
    if not Env.screenshots:
        return None
    os.makedirs(Env.screenshots, exist_ok=True)
    path = os.path.join(Env.screenshots, name + ".png")
    env = dict(os.environ, DISPLAY=Env.wine["DISPLAY"])
    subprocess.run(["import", "-window", "root", path], env=env, check=True, timeout=30,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return path


class ProgramTestCase(unittest.TestCase):
    """A fresh folder with a copy of the program, a driver session and boards."""

    # Long enough for a program start on a loaded machine.
    START_TIMEOUT_MS = 20000

    @classmethod
    def setUpClass(cls):
        os.makedirs(Env.work_root, exist_ok=True)
        unmount_leftovers(Env.work_root)

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix=self.id().split(".")[-1][:40] + "-", dir=Env.work_root)
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.install_program(self.folder)
        self.ui = UiDriver(Env.driver, Env.wine_run)
        # Cleanups run last-in first-out: the program ends before its boards.
        self.addCleanup(self.ui.close)
        # Wherever the last test left the pointer, it rests on no control or
        # list of this one.
        self.ui.cmd("mouse-park")

    def install_program(self, folder):
        self.exe = os.path.join(folder, "ZEFA1ID.exe")
        shutil.copy2(Env.program, self.exe)

    @property
    def ini_path(self):
        return os.path.join(os.path.dirname(self.exe), "ZEFA_ID.ini")

    def write_ini(self, data):
        with open(self.ini_path, "wb") as f:
            f.write(data)

    def ini(self):
        """The settings file's bytes, None when there is none."""
        try:
            with open(self.ini_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def board(self, com, id=7, modes=()):
        """A simulated board on COMn, stopped when the test ends."""
        link = os.path.join(Env.prefix, "dosdevices", "com%d" % com)
        if os.path.islink(link) and not os.path.exists(link):
            os.unlink(link)  # left by a killed run
        sim = BoardSim(link, id=id, modes=modes, binary=Env.boardsim or None)
        sim.start()
        self.addCleanup(sim.stop, False)
        return sim

    # ---- the program

    def launch(self):
        self.ui.cmd("launch", win_path(self.exe))

    def start(self, text, caption_icon=INFORMATION):
        """Starts the program, confirms its start-up box, waits for the window."""
        self.launch()
        box = self.expect_box(text, caption_icon, timeout_ms=self.START_TIMEOUT_MS)
        self.ui.cmd("wait-main", self.START_TIMEOUT_MS)
        return box

    def expect_box(self, text, caption_icon=None, timeout_ms=10000, press="OK"):
        """Waits for a box, checks it, presses a button; returns the box."""
        box = self.ui.cmd("wait-box", timeout_ms)
        self.assertEqual(box["text"], text, box)
        if caption_icon is not None:
            self.assertEqual((box["caption"], box["icon"]), caption_icon, box)
        self.assertEqual([b["name"] for b in box["buttons"]], ["OK"], box)
        if press:
            self.ui.cmd("press", press)
        return box

    def dismiss_boxes(self, timeout_ms=1500):
        """Confirms every box that comes up within timeout_ms of the last;
        returns their texts in order."""
        texts = []
        while True:
            box = self.ui.try_cmd("wait-box", timeout_ms)
            if not box.get("ok"):
                return texts
            texts.append(box["text"])
            self.ui.cmd("press", "OK")

    @staticmethod
    def print_logs(boards):
        """The boards' logs on standard error, for a failure's report."""
        for n, board in enumerate(boards, 1):
            sys.stderr.write("board %d's log:\n  %s\n" % (n, "\n  ".join(board.log_lines())))

    def repeat_if_disturbed(self, case, boards, delay_ms=0):
        """Runs case(), a scenario whose outcome rests on the board's 30 ms
        timing, again (a bounded number of times) only when it failed and a
        board's log shows that the machine did not keep that timing. Boxes
        that a failed run left up are confirmed before the next."""
        def run():
            try:
                return case()
            except AssertionError:
                self.dismiss_boxes()
                self.print_logs(boards)
                raise
        return repeat_if_disturbed(run, boards, delay_ms=delay_ms)

    def choose_port(self, item, text, caption_icon):
        """A close-up of the port list on item, confirmed."""
        self.ui.cmd("choose", "CommPort", item)
        return self.expect_box(text, caption_icon)

    def press_button(self, control, text, caption_icon):
        self.ui.cmd("click", control)
        return self.expect_box(text, caption_icon)

    def selected(self, control):
        return self.ui.cmd("selection", control)["index"]

    def exit_program(self, *boxes):
        """The exit button; the boxes it shows (text, caption and icon) are
        confirmed in turn; the program must end."""
        self.ui.cmd("click", "ExitBtn")
        for text, caption_icon in boxes:
            self.expect_box(text, caption_icon)
        self.assertEqual(self.ui.cmd("wait-exit", 10000)["exit_code"], 0)

    def close_program(self):
        """The close box; the program must end without a box."""
        self.ui.cmd("close")
        self.ui.cmd("wait-exit", 10000)
