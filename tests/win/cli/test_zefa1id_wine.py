"""zefa1id.exe under Wine: the Windows build, through the serial port
component, on COM ports that Wine maps to pseudo-terminals with a simulated
board behind them.

Environment: ZEFA1ID_EXE (the program), ZEFA_WINE_ENV (the build tree's
wine-env.sh), WINE_RUN (scripts/wine-run), ZEFA_BOARDSIM (the simulator),
and tests/support on PYTHONPATH.
"""

import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from boardsim import BoardSim
import boardsim

EXE = os.environ.get("ZEFA1ID_EXE", "")
WINE_ENV = os.environ.get("ZEFA_WINE_ENV", "")
WINE_RUN = os.environ.get("WINE_RUN", "")

COMPLETED = "読み取り完了"
SUCCEEDED = "書込に成功しました"
COMM_FAILED = "通信に失敗しました"
WRITE_FAILED = "書込に失敗しました"
MAY_HAVE_CHANGED = "ボードのIDが書き換わった可能性があります"
# zefa1id begins every attempt once the line has been quiet this long.
QUIET_MS = 30.0


def repeat_if_disturbed(case, boards):
    return boardsim.repeat_if_disturbed(case, boards, quiet_ms=QUIET_MS)


def wine_prefix():
    script = '. "$1" >/dev/null 2>&1; printf %s "$WINEPREFIX"'
    return subprocess.run(["bash", "-c", script, "-", WINE_ENV], capture_output=True, check=True,
                          text=True).stdout


class Run:
    def __init__(self, code, out, err, elapsed):
        self.code = code
        self.out = out.decode("utf-8")
        self.err = err.decode("utf-8")
        self.elapsed = elapsed

    def json(self):
        return json.loads(self.out)

    def __repr__(self):
        return "exit %s, stdout %r, stderr %r" % (self.code, self.out, self.err)


class WineCliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(WINE_ENV):
            raise RuntimeError("no Wine environment at %r: run scripts/wine-env start BUILD_DIR/win" % WINE_ENV)
        cls.prefix = wine_prefix()

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zefa1id-wine-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def board(self, com, id=7, modes=()):
        link = os.path.join(self.prefix, "dosdevices", "com%d" % com)
        self.assertFalse(os.path.lexists(link), "COM%d is already mapped" % com)
        board = BoardSim(link, id=id, modes=modes).start()
        self.addCleanup(board.stop)
        return board

    def zefa1id(self, *args):
        # Files, not pipes: the desktop process that Wine starts for the
        # program's hidden windows inherits them and outlives the program.
        env = dict(os.environ, ZEFA_WINE_ENV=WINE_ENV)
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            start = time.monotonic()
            completed = subprocess.run([WINE_RUN, EXE, *args], stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                       timeout=60, env=env)
            elapsed = time.monotonic() - start
            out.seek(0)
            err.seek(0)
            return Run(completed.returncode, out.read(), err.read(), elapsed)

    def windows_path(self, path):
        return "Z:" + path.replace("/", "\\")


class ReadWriteTests(WineCliTest):
    def test_read_and_write_on_low_and_high_port_numbers(self):
        for com in (3, 12):
            with self.subTest(com=com):
                board = self.board(com, id=7)
                repeat_if_disturbed(lambda: self.check_read_and_write(board, "COM%d" % com), [board])

    def check_read_and_write(self, board, port):
        board.set_modes(["id=7"])
        run = self.zefa1id("read", "--port", port.lower(), "--json")
        self.assertEqual(run.code, 0, run)
        self.assertEqual(run.json(), {"command": "read", "port": port, "exit": 0, "outcome": "completed",
                                      "message": COMPLETED, "id": 7, "requests": 1, "surplus_bytes": 0})

        run = self.zefa1id("write", "9", "--port", port, "--verify")
        self.assertEqual((run.code, run.out, run.err), (0, "", SUCCEEDED + "\r\n"), run)
        self.assertEqual([f.bytes for f in board.frames("write")], [b"\xff\x5a\x09\x62"] * 3)

        run = self.zefa1id("read", "--port", port)
        self.assertEqual((run.code, run.out, run.err), (0, "9\r\n", COMPLETED + "\r\n"), run)

    def test_failures_keep_their_exit_codes(self):
        board = self.board(4)
        cases = [
            (["write-echo=3", "write-echo-pass=3"], ["write", "5"], 6, WRITE_FAILED, 3),
            (["refuse-writes"], ["write", "5"], 4, COMM_FAILED, 1),
            (["silent"], ["read"], 4, COMM_FAILED, 10),
            (["id=7", "answers=1"], ["write", "5"], 4, COMM_FAILED, 11),
        ]
        for case in cases:
            with self.subTest(modes=case[0]):
                repeat_if_disturbed(lambda: self.check_failure(board, *case), [board])

    def check_failure(self, board, modes, args, code, message, requests):
        board.set_modes(modes)
        run = self.zefa1id(*args, "--port", "COM4", "--json")
        self.assertEqual(run.code, code, run)
        report = run.json()
        self.assertEqual((report["message"], report["requests"]), (message, requests))
        if args[0] == "write":
            self.assertEqual(report["board_may_have_changed"], True)

    def test_late_answers_and_surplus_bytes(self):
        board = self.board(10, id=7)
        board.set_modes(["delay=45"])
        run = self.zefa1id("write", "12", "--port", "COM10", "--json")
        self.assertEqual(run.code, 4, run)
        report = run.json()
        self.assertEqual((report["acknowledged_passes"], report["board_may_have_changed"], report["requests"]),
                         (0, True, 10))
        self.assertEqual(board.wait_for_frames("answer", 10)[0].bytes, b"\x0c\x06")  # the board took it

        board.set_modes(["second-board=9"])
        run = self.zefa1id("read", "--port", "COM10")
        self.assertEqual((run.code, run.out), (0, "12\r\n"), run)
        self.assertIn("2 bytes came after the board's answer", run.err)

    def test_a_missing_port_exits_3(self):
        for port in ("COM7", "COM27"):
            with self.subTest(port=port):
                run = self.zefa1id("read", "--port", port, "--json")
                self.assertEqual(run.code, 3, run)
                report = run.json()
                self.assertEqual((report["reason"], report["message"]), ("missing", port + "は使用できません"))

    def test_bad_arguments_exit_2_and_send_nothing(self):
        board = self.board(5)
        for args in (["read", "--port", "/dev/ttyS0"], ["write", "40", "--port", "COM5"], ["read"]):
            with self.subTest(args=args):
                run = self.zefa1id(*args)
                self.assertEqual(run.code, 2, run)
                self.assertTrue(run.err.startswith("zefa1id: "), run)
        self.assertEqual(board.frames(), [])

    def test_the_log_takes_windows_paths(self):
        self.board(6, id=21)
        log = os.path.join(self.dir, "ids.csv")
        for _ in range(2):
            self.assertEqual(self.zefa1id("read", "--port", "COM6", "--log", self.windows_path(log)).code, 0)
        with open(log, "rb") as f:
            lines = f.read().decode("utf-8").split("\r\n")
        self.assertEqual(lines[0], "time,port,command,id,outcome,exit")
        self.assertEqual([line.split(",", 1)[1] for line in lines[1:3]], ["COM6,read,21," + COMPLETED + ",0"] * 2)
        self.assertEqual(lines[3:], [""])


class StationTests(WineCliTest):
    def test_a_board_on_the_line_gets_the_id_and_the_batch_ends(self):
        board = self.board(5, id=0)
        log = os.path.join(self.dir, "ids.csv")
        run = self.zefa1id("station", "--ids", "5-5", "--port", "COM5", "--log", self.windows_path(log))
        self.assertEqual(run.code, 0, run)
        self.assertEqual(run.out, "1\t0\t5\t" + SUCCEEDED + "\r\nnumbered 1 of 1; failed: none; left: none\r\n")
        self.assertIn("次のボードを接続してください (board 1 of 1: ID 5)\r\n", run.err)
        self.assertEqual(run.err.count("\a"), 1)
        self.assertEqual([f.bytes for f in board.frames("write")], [b"\xff\x5a\x05\x5e"] * 3)
        with open(log, encoding="utf-8") as f:
            self.assertTrue(f.read().splitlines()[1].endswith(",COM5,station,5," + SUCCEEDED + ",0"))


class ScanTests(WineCliTest):
    def test_scan_finds_the_boards_among_missing_ports(self):
        boards = [self.board(8, id=2), self.board(11, id=30, modes=["report-id=30"])]
        silent = self.board(13, modes=["silent"])

        def case():
            run = self.zefa1id("scan", "--ports", "COM8", "COM9", "COM11", "COM13", "--json")
            self.assertEqual(run.code, 0, run)
            found = [(p["port"], p["status"], p["id"]) for p in run.json()["ports"]]
            self.assertEqual(found, [("COM8", "board", 2), ("COM9", "unavailable", None), ("COM11", "board", 30),
                                     ("COM13", "no-board", None)])
            self.assertEqual(len(silent.frames("read")), 10)
        repeat_if_disturbed(case, boards + [silent])

    def register(self, com):
        """Names COMn in the serial device map, as a driver does for its ports."""
        key = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"
        value = r"\Device\ZefaTest%d" % com
        self.wine("reg", "add", key, "/v", value, "/t", "REG_SZ", "/d", "COM%d" % com, "/f")
        self.addCleanup(self.wine, "reg", "delete", key, "/v", value, "/f")

    def wine(self, *args):
        subprocess.run([WINE_RUN, *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, timeout=60, env=dict(os.environ, ZEFA_WINE_ENV=WINE_ENV))

    def test_list_shows_the_ports_that_the_system_lists(self):
        # Listing only: a probe of every listed port would reach the host's
        # own serial ports through Wine.
        for com in (15, 14, 112):
            self.register(com)
        run = self.zefa1id("scan", "--list", "--json")
        self.assertEqual(run.code, 0, run)
        listed = [entry["port"] for entry in run.json()["ports"]]
        ours = [port for port in listed if port in ("COM14", "COM15", "COM112")]
        self.assertEqual(ours, ["COM14", "COM15", "COM112"])
        self.assertEqual(listed, sorted(listed, key=lambda port: int(port[3:])))

if __name__ == "__main__":
    unittest.main()
