"""zefa1id end to end, natively: the real program on a pseudo-terminal with
a simulated board behind it.

    ZEFA1ID=build/native/cli/zefa1id PYTHONPATH=tests/support \\
        python3 -m unittest tests/native/cli/test_zefa1id.py
"""

import csv
import fcntl
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import termios
import time
import unittest

from boardsim import BoardSim
import boardsim

HERE = os.path.dirname(os.path.abspath(__file__))
ZEFA1ID = os.environ.get("ZEFA1ID") or os.path.join(HERE, "..", "..", "..", "build", "native", "cli", "zefa1id")

# _IOR('T', 0x40, int): whether a tty is in exclusive mode (not in termios).
TIOCGEXCL = 0x80045440

COMPLETED = "読み取り完了"
SUCCEEDED = "書込に成功しました"
COMM_FAILED = "通信に失敗しました"
SET_AGAIN = "再設定を行ってください"
WRITE_FAILED = "書込に失敗しました"
UNUSABLE = "は使用できません"
MAY_HAVE_CHANGED = "ボードのIDが書き換わった可能性があります"
EXCLUSIVE_LEFT = "exclusive flag set (TIOCEXCL); close every program using the port to clear it"
EXCLUSIVE_REFUSED = ("Device or resource busy; the exclusive flag (TIOCEXCL) may be set: "
                     "close every program using the port to clear it")

# 10 attempts, each a wait of 30 ms for a quiet line and one of 30 ms for
# the answer, a little less for the clock's grain.
SILENT_TRANSACTION_MIN = 0.59
SILENT_TRANSACTION_MAX = 3.0
# zefa1id begins every attempt once the line has been quiet this long.
QUIET_MS = 30.0
# Well beyond the 30 ms that an answer has, and by as much within the quiet
# wait that follows the attempt, which reads the late answer away.
LATE_MS = 45


def repeat_if_disturbed(case, boards):
    return boardsim.repeat_if_disturbed(case, boards, quiet_ms=QUIET_MS)


def surplus_warning(port, count):
    return ("zefa1id: warning: %s: %d bytes came after the board's answer: is another device on the line "
            "(a second board, an echo)?\n" % (port, count))


class Run:
    def __init__(self, completed, elapsed):
        self.code = completed.returncode
        self.out = completed.stdout.decode("utf-8")
        self.err = completed.stderr.decode("utf-8")
        self.elapsed = elapsed

    def json(self):
        return json.loads(self.out)

    def __repr__(self):
        return "exit %s, stdout %r, stderr %r" % (self.code, self.out, self.err)


class CliTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zefa1id-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.link = self.path("board")

    def path(self, name):
        return os.path.join(self.dir, name)

    def board(self, id=7, modes=(), link=None):
        board = BoardSim(link or self.link, id=id, modes=modes).start()
        self.addCleanup(board.stop)
        return board

    def zefa1id(self, *args, timeout=30):
        start = time.monotonic()
        completed = subprocess.run([ZEFA1ID, *args], capture_output=True, timeout=timeout)
        return Run(completed, time.monotonic() - start)

    def rows(self, log):
        with open(log, encoding="utf-8", newline="") as f:
            return list(csv.reader(f))

    def rx_frames(self, board):
        return [f for f in board.frames() if f.direction == "rx"]

    def assert_nothing_sent(self, board):
        # The line still carries one read and nothing else.
        def case():
            self.assertEqual(self.zefa1id("read", "--port", self.link).code, 0)
            self.assertEqual([(f.kind, f.bytes) for f in self.rx_frames(board)], [("read", b"\xfe\x7e")])
        repeat_if_disturbed(case, [board])

    def interrupt(self, board, sig, args, others=(), kind="read", count=1):
        """Stops a run while it waits for the board, once count requests of
        the kind reached it; returns its output."""
        for _ in range(3):  # a loaded machine may let the run end first
            for each in (board, *others):
                each.clear_log()
            process = subprocess.Popen([ZEFA1ID, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                board.wait_for_frames(kind, count)
                process.send_signal(sig)
                out, _ = process.communicate(timeout=10)
            finally:
                if process.poll() is None:
                    process.kill()
                    process.communicate()
            if process.returncode == -sig:
                return out.decode("utf-8")
            self.assertEqual(process.returncode, 4, "neither interrupted nor ended by itself")
        self.fail("the run always ended before the signal")


    def hold(self, board, how):
        """Holds the board's port the way another program would, until cleanup."""
        fd = os.open(board.slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.addCleanup(os.close, fd)
        if how == "flock":
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        else:
            fcntl.ioctl(fd, termios.TIOCEXCL)
            self.addCleanup(fcntl.ioctl, fd, termios.TIOCNXCL)  # runs before the close


class ReadTests(CliTest):
    def test_outcomes(self):
        cases = [
            # modes, exit, outcome, message, id, requests, surplus bytes
            ([], 0, "completed", COMPLETED, 7, 1, 0),
            (["from-attempt=10"], 0, "completed", COMPLETED, 7, 10, 0),
            (["from-attempt=11"], 4, "communication-failed", COMM_FAILED, None, 10, 0),
            (["extra=3"], 0, "completed", COMPLETED, 7, 1, 3),
            (["second-board=9"], 0, "completed", COMPLETED, 7, 1, 2),
            (["report-id=32"], 5, "set-again", SET_AGAIN, 32, 1, 0),
            (["report-id=255"], 5, "set-again", SET_AGAIN, 255, 1, 0),
            (["read-mismatch"], 4, "communication-failed", COMM_FAILED, None, 1, 0),
            (["one-byte"], 4, "communication-failed", COMM_FAILED, None, 10, 0),
            (["silent"], 4, "communication-failed", COMM_FAILED, None, 10, 0),
        ]
        board = self.board(id=7)
        for case in cases:
            with self.subTest(modes=case[0]):
                repeat_if_disturbed(lambda: self.check_read(board, *case), [board])

    def check_read(self, board, modes, code, outcome, message, id, requests, surplus):
        board.set_modes(modes)
        run = self.zefa1id("read", "--port", self.link, "--json")
        self.assertEqual(run.code, code, run)
        report = run.json()
        self.assertEqual(report["command"], "read")
        self.assertEqual(report["port"], self.link)
        self.assertEqual(report["exit"], code)
        self.assertEqual(report["outcome"], outcome)
        self.assertEqual(report["message"], message)
        self.assertEqual(report["id"], id)
        self.assertEqual(report["requests"], requests)
        self.assertEqual(report["surplus_bytes"], surplus)
        self.assertEqual(run.err, surplus_warning(self.link, surplus) if surplus else "")
        frames = self.rx_frames(board)
        self.assertEqual([f.bytes for f in frames], [b"\xfe\x7e"] * requests)

    def test_text_output_puts_the_id_on_stdout_and_the_message_on_stderr(self):
        board = self.board(id=23)
        run = self.zefa1id("read", "--port", self.link)
        self.assertEqual((run.code, run.out, run.err), (0, "23\n", COMPLETED + "\n"))
        board.set_modes(["report-id=40"])
        run = self.zefa1id("read", "--port", self.link)
        self.assertEqual((run.code, run.out, run.err), (5, "", SET_AGAIN + "\n"))
        board.set_modes(["second-board=9"])
        run = self.zefa1id("read", "--port", self.link)
        self.assertEqual((run.code, run.out, run.err), (0, "23\n", surplus_warning(self.link, 2) + COMPLETED + "\n"))

    def test_a_silent_board_takes_ten_receive_timeouts(self):
        board = self.board(modes=["silent"])

        def case():
            run = self.zefa1id("read", "--port", self.link)
            self.assertEqual((run.code, run.err), (4, COMM_FAILED + "\n"))
            self.assertGreaterEqual(run.elapsed, SILENT_TRANSACTION_MIN)
            self.assertLess(run.elapsed, SILENT_TRANSACTION_MAX)
        repeat_if_disturbed(case, [board])


class WriteTests(CliTest):
    def test_outcomes(self):
        echo9_third = ["write-echo=9", "write-echo-pass=3"]
        cases = [
            # modes, id, exit, outcome, message, writes, answer_id, acknowledged passes, surplus bytes
            ([], 12, 0, "succeeded", SUCCEEDED, 3, 12, 3, 0),
            ([], 0, 0, "succeeded", SUCCEEDED, 3, 0, 3, 0),
            ([], 31, 0, "succeeded", SUCCEEDED, 3, 31, 3, 0),
            (echo9_third, 12, 6, "write-failed", WRITE_FAILED, 3, 9, 3, 0),
            (["write-echo=9", "write-echo-pass=1"], 12, 0, "succeeded", SUCCEEDED, 3, 12, 3, 0),
            (["write-echo=9", "write-echo-pass=2"], 12, 0, "succeeded", SUCCEEDED, 3, 12, 3, 0),
            (["refuse-writes"], 12, 4, "communication-failed", COMM_FAILED, 1, 7, 0, 0),
            (["one-byte"], 12, 4, "communication-failed", COMM_FAILED, 10, None, 0, 0),
            (["answers=1"], 12, 4, "communication-failed", COMM_FAILED, 11, None, 1, 0),
            (["answers=2"], 12, 4, "communication-failed", COMM_FAILED, 12, None, 2, 0),
            (["extra=2"], 12, 0, "succeeded", SUCCEEDED, 3, 12, 3, 6),
            (["second-board=9"], 12, 0, "succeeded", SUCCEEDED, 3, 12, 3, 6),
            (["from-attempt=10"], 12, 0, "succeeded", SUCCEEDED, 30, 12, 3, 0),
        ]
        board = self.board(id=7)
        for case in cases:
            with self.subTest(modes=case[0], id=case[1]):
                repeat_if_disturbed(lambda: self.check_write(board, *case), [board])

    def check_write(self, board, modes, id, code, outcome, message, writes, answer_id, passes, surplus):
        board.set_modes(["id=7"] + modes)
        run = self.zefa1id("write", str(id), "--port", self.link, "--json")
        self.assertEqual(run.code, code, run)
        report = run.json()
        self.assertEqual((report["exit"], report["outcome"], report["message"]), (code, outcome, message))
        self.assertEqual((report["id"], report["answer_id"], report["verify"]), (id, answer_id, False))
        self.assertEqual(report["requests"], writes)
        self.assertEqual(report["acknowledged_passes"], passes)
        self.assertEqual(report["board_may_have_changed"], code != 0)
        self.assertEqual(report["surplus_bytes"], surplus)
        self.assertEqual(run.err, surplus_warning(self.link, surplus) if surplus else "")
        frame = bytes([0xFF, 0x5A, id, (0xFF + 0x5A + id) % 128])
        self.assertEqual([f.bytes for f in self.rx_frames(board)], [frame] * writes)

    def test_verify_reads_the_id_back(self):
        cases = [
            # modes, exit, outcome, message, verified_id, reads
            ([], 0, "succeeded", SUCCEEDED, 12, 1),
            (["report-id=9"], 6, "verify-failed", WRITE_FAILED, 9, 1),
            (["report-id=40"], 6, "verify-failed", WRITE_FAILED, 40, 1),
            (["read-mismatch"], 4, "communication-failed", COMM_FAILED, None, 1),
            (["write-echo=9", "write-echo-pass=3"], 6, "write-failed", WRITE_FAILED, None, 0),
            (["refuse-writes"], 4, "communication-failed", COMM_FAILED, None, 0),
        ]
        board = self.board(id=7)
        for case in cases:
            with self.subTest(modes=case[0]):
                repeat_if_disturbed(lambda: self.check_verify(board, *case), [board])

    def check_verify(self, board, modes, code, outcome, message, verified, reads):
        board.set_modes(["id=7"] + modes)
        run = self.zefa1id("write", "12", "--port", self.link, "--verify", "--json")
        self.assertEqual(run.code, code, run)
        report = run.json()
        self.assertEqual((report["outcome"], report["message"]), (outcome, message))
        self.assertEqual((report["verify"], report["verified_id"]), (True, verified))
        self.assertEqual(len(board.frames("read")), reads)

    def test_the_board_keeps_the_written_id(self):
        self.board(id=3)
        run = self.zefa1id("write", "17", "--port", self.link)
        self.assertEqual((run.code, run.out, run.err), (0, "", SUCCEEDED + "\n"))
        self.assertEqual(self.zefa1id("read", "--port", self.link).out, "17\n")

    def test_a_silent_board_ends_the_write_after_one_transaction(self):
        board = self.board(modes=["silent"])

        def case():
            run = self.zefa1id("write", "5", "--port", self.link)
            self.assertEqual((run.code, run.err), (4, COMM_FAILED + " " + MAY_HAVE_CHANGED + "\n"))
            self.assertEqual(len(board.frames("write")), 10)
            self.assertGreaterEqual(run.elapsed, SILENT_TRANSACTION_MIN)
            self.assertLess(run.elapsed, SILENT_TRANSACTION_MAX)
        repeat_if_disturbed(case, [board])


class UsageTests(CliTest):
    def test_bad_arguments_exit_2_before_anything_is_sent(self):
        board = self.board()
        p = self.link
        cases = [
            ([], "no command"),
            (["erase", "--port", p], 'unknown command "erase"'),
            (["read"], "no port given"),
            (["read", "--port", p, "--bogus"], 'unknown option "--bogus"'),
            (["write", "--port", p], "write needs the ID"),
            (["write", "32", "--port", p], 'from 0 to 31, not "32"'),
            (["write", "-1", "--port", p], 'from 0 to 31, not "-1"'),
            (["write", "seven", "--port", p], 'not "seven"'),
            (["write", "5", "--port", p, "--port", p], "--port is given twice"),
            (["read", "--port", p, "--verify"], "--verify goes with write only"),
            (["read", "--port", p, "--log"], "--log needs a value"),
            (["read", "--port", p, "--log", self.dir], "cannot open the log file"),
            (["write", "5", "--port", p, "--log", self.path("no/such/dir.csv")], "cannot open the log file"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                board.clear_log()
                run = self.zefa1id(*args)
                self.assertEqual(run.code, 2, run)
                self.assertEqual(run.out, "")
                self.assertTrue(run.err.startswith("zefa1id: "), run.err)
                self.assertIn(message, run.err)
                self.assertIn("Usage:", run.err)
                self.assertEqual(self.rx_frames(board), [])
        self.assert_nothing_sent(board)

    def test_a_usage_error_is_json_when_json_is_asked_for(self):
        run = self.zefa1id("write", "40", "--port", self.link, "--json")
        self.assertEqual(run.code, 2)
        self.assertEqual(run.err, "")
        self.assertEqual(run.json(), {"exit": 2, "outcome": "usage",
                                      "message": 'the ID must be a whole number from 0 to 31, not "40"'})

    def test_help_and_version(self):
        run = self.zefa1id("--help")
        self.assertEqual(run.code, 0)
        for text in ("zefa1id read --port PORT", "flock", COMPLETED, SUCCEEDED, COMM_FAILED, SET_AGAIN,
                     WRITE_FAILED, "PORT" + UNUSABLE, '"exclusive flag set (TIOCEXCL)"',
                     "Close every\nprogram using the port to clear it."):
            self.assertIn(text, run.out)
        run = self.zefa1id("--version")
        self.assertEqual(run.code, 0)
        self.assertRegex(run.out, r"^zefa1id \d+\.\d+\.\d+\n$")


class PortTests(CliTest):
    def test_ports_that_cannot_be_used_exit_3_with_the_reason(self):
        regular = self.path("file")
        open(regular, "w").close()
        cases = [
            (self.path("missing"), "missing"),
            ("/dev/null", "not-serial"),
            (regular, "not-serial"),
        ]
        for port, reason in cases:
            with self.subTest(port=port):
                run = self.zefa1id("read", "--port", port, "--json")
                self.assertEqual(run.code, 3, run)
                report = run.json()
                self.assertEqual((report["outcome"], report["reason"]), ("port-unavailable", reason))
                self.assertEqual(report["message"], port + UNUSABLE)
                self.assertEqual(report["requests"], 0)
                run = self.zefa1id("write", "5", "--port", port)
                self.assertEqual(run.code, 3)
                self.assertTrue(run.err.startswith(port + UNUSABLE + " (" + reason + ": "), run.err)

    def test_a_port_held_by_another_program_is_busy(self):
        for how in ("flock", "TIOCEXCL"):
            with self.subTest(holder=how):
                board = self.board(link=self.path("board-" + how))
                self.hold(board, how)
                run = self.zefa1id("write", "5", "--port", board.link, "--json")
                self.assertEqual(run.code, 3, run)
                self.assertEqual(run.json()["reason"], "busy")
                self.assertEqual(board.frames(), [])

    # The flag outlives a run killed outright while the simulator keeps the
    # port open, and only closing every holder (or TIOCNXCL) clears it.
    def test_an_exclusive_flag_left_by_a_killed_run_is_named(self):
        board = self.board(modes=["silent"])
        killed = subprocess.Popen([ZEFA1ID, "read", "--port", self.link], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        try:
            board.wait_for_frames("read", 1)
        finally:
            killed.kill()
            killed.wait()
        self.addCleanup(self.clear_exclusive_flag, board)
        board.set_modes([])

        run = self.zefa1id("read", "--port", self.link, "--json")
        self.assertEqual(run.code, 3, run)
        self.assertEqual((run.json()["reason"], run.json()["detail"]), ("busy", EXCLUSIVE_LEFT))
        run = self.zefa1id("read", "--port", self.link)
        self.assertEqual((run.code, run.err), (3, self.link + UNUSABLE + " (busy: " + EXCLUSIVE_LEFT + ")\n"))

        # Any user but root is refused at the open itself.
        if os.geteuid() == 0 and shutil.which("setpriv"):
            os.chmod(board.slave, 0o666)
            as_nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
            completed = subprocess.run(as_nobody + [ZEFA1ID, "read", "--port", board.slave, "--json"],
                                       capture_output=True, timeout=30)
            self.assertEqual(completed.returncode, 3, completed)
            report = json.loads(completed.stdout)
            self.assertEqual((report["reason"], report["detail"]), ("busy", EXCLUSIVE_REFUSED))

        self.clear_exclusive_flag(board)
        run = self.zefa1id("read", "--port", self.link)
        self.assertEqual((run.code, run.out), (0, "7\n"), run)

    def clear_exclusive_flag(self, board):
        fd = os.open(board.slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            fcntl.ioctl(fd, termios.TIOCNXCL)
        finally:
            os.close(fd)

    def test_zefa1id_keeps_the_port_for_itself_while_it_works(self):
        board = self.board(modes=["silent"])
        first = subprocess.Popen([ZEFA1ID, "read", "--port", self.link], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        self.addCleanup(first.wait)
        board.wait_for_frames("read", 1)
        fd = os.open(board.slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            with self.assertRaises(BlockingIOError):
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            first.wait(10)
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # released with the end of the run
        finally:
            os.close(fd)

    def traced(self, *args):
        """Runs zefa1id under strace; returns the run and the paths it opened."""
        trace = self.path("trace")
        start = time.monotonic()
        completed = subprocess.run(["strace", "-f", "-qq", "-e", "trace=open,openat,creat", "-o", trace, ZEFA1ID,
                                    *args], capture_output=True, timeout=30)
        run = Run(completed, time.monotonic() - start)
        with open(trace) as f:
            opened = re.findall(r'open(?:at)?\((?:AT_FDCWD, )?"([^"]*)"', f.read())
        return run, opened

    def test_only_terminals_are_opened(self):
        self.assertTrue(shutil.which("strace"), "strace is missing: scripts/deps installs it")
        things = self.path("things")
        os.mkdir(things)
        open(os.path.join(things, "file"), "w").close()
        os.mkfifo(os.path.join(things, "fifo"))
        os.mkdir(os.path.join(things, "folder"))
        expected = [(os.path.join(things, "fifo"), "a FIFO"), (os.path.join(things, "file"), "a regular file"),
                    (os.path.join(things, "folder"), "a directory"), ("/dev/null", "not a terminal device")]
        run, opened = self.traced("scan", "--ports", things + "/*", "/dev/nul[l]", "--json")
        self.assertEqual(run.code, 3, run)
        found = [(p["port"], p["status"], p["reason"], p["detail"]) for p in run.json()["ports"]]
        self.assertEqual(found, [(path, "unavailable", "not-serial", detail) for path, detail in expected])
        for path, _ in expected:
            self.assertNotIn(path, opened)
            run, opened = self.traced("read", "--port", path, "--json")
            self.assertEqual((run.code, run.json()["reason"]), (3, "not-serial"), run)
            self.assertNotIn(path, opened)

    def test_the_terminal_zefa1id_runs_on_is_left_out_of_patterns(self):
        own = self.board(id=1, link=self.path("port1"))
        other = self.board(id=2, link=self.path("port2"))
        fd = os.open(own.slave, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, fd)
        completed = subprocess.run([ZEFA1ID, "scan", "--ports", self.path("port*"), "--json"], stdin=fd,
                                   capture_output=True, timeout=30)
        self.assertEqual(completed.returncode, 0, completed)
        found = [(p["port"], p["status"], p.get("reason"), p.get("detail"), p["id"])
                 for p in json.loads(completed.stdout)["ports"]]
        self.assertEqual(found, [(own.link, "unavailable", "busy", "the terminal zefa1id runs on", None),
                                 (other.link, "board", None, None, 2)])
        self.assertEqual(own.frames(), [])
        # Named as it is, it was asked for.
        completed = subprocess.run([ZEFA1ID, "read", "--port", own.link], stdin=fd, capture_output=True, timeout=30)
        self.assertEqual((completed.returncode, completed.stdout), (0, b"1\n"), completed)

    def test_the_system_console_is_left_out_of_patterns(self):
        # Listing only, so that nothing reaches this machine's console.
        try:
            with open("/sys/class/tty/console/active") as f:
                names = [n for n in f.read().split() if os.path.exists("/dev/" + n)]
        except OSError:
            names = []
        names = [n for n in names if n != "tty0"]
        if not names:
            self.skipTest("no console device on this machine")
        name = names[0]
        pattern = "/dev/%s[%s]" % (name[:-1], name[-1])  # a pattern that finds it alone
        run = self.zefa1id("scan", "--list", "--ports", pattern, "--json")
        entry = run.json()["ports"][0]
        self.assertEqual((entry["port"], entry["status"], entry["reason"], entry["detail"]),
                         ("/dev/" + name, "unavailable", "busy", "the system console"))


class LogTests(CliTest):
    TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$")

    def test_one_line_per_read_or_write_after_a_header(self):
        board = self.board(id=7)
        log = self.path("ids.csv")
        missing = self.path("missing")
        self.zefa1id("read", "--port", self.link, "--log", log)
        self.zefa1id("write", "9", "--port", self.link, "--log", log, "--json")
        board.set_modes(["silent"])
        self.zefa1id("read", "--port", self.link, "--log", log)
        self.zefa1id("write", "4", "--port", missing, "--log", log)
        rows = self.rows(log)
        self.assertEqual(rows[0], ["time", "port", "command", "id", "outcome", "exit"])
        self.assertEqual([row[1:] for row in rows[1:]], [
            [self.link, "read", "7", COMPLETED, "0"],
            [self.link, "write", "9", SUCCEEDED, "0"],
            [self.link, "read", "", COMM_FAILED, "4"],
            [missing, "write", "4", missing + UNUSABLE + " (missing: No such file or directory)", "3"],
        ])
        times = [row[0] for row in rows[1:]]
        for stamp in times:
            self.assertRegex(stamp, self.TIME)
        self.assertEqual(times, sorted(times))

    def test_an_existing_log_is_only_appended_to(self):
        self.board(id=7)
        log = self.path("ids.csv")
        with open(log, "w", encoding="utf-8") as f:
            f.write("earlier,line\n")
        self.zefa1id("read", "--port", self.link, "--log", log)
        with open(log, encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], "earlier,line")
        self.assertEqual(len(lines), 2)
        self.assertTrue(lines[1].endswith("," + self.link + ",read,7," + COMPLETED + ",0"), lines[1])

    def test_an_empty_log_gets_the_header(self):
        self.board(id=7)
        log = self.path("ids.csv")
        open(log, "w").close()
        self.zefa1id("read", "--port", self.link, "--log", log)
        self.assertEqual(self.rows(log)[0][0], "time")
        self.assertEqual(len(self.rows(log)), 2)


class ScanTests(CliTest):
    def test_finds_the_board_among_ports_that_are_missing_or_busy(self):
        board = self.board(id=5, link=self.path("a-board"))
        self.board(modes=["silent"], link=self.path("b-silent"))
        busy = self.board(link=self.path("c-busy"))
        self.hold(busy, "flock")
        missing = self.path("d-missing")
        log = self.path("scan.csv")
        ports = [board.link, self.path("b-silent"), busy.link, missing, "/dev/null"]

        def case():
            if os.path.exists(log):
                os.unlink(log)
            run = self.zefa1id("scan", "--ports", *ports, "--json", "--log", log)
            self.assertEqual(run.code, 0, run)
            report = run.json()
            self.assertEqual((report["command"], report["exit"]), ("scan", 0))
            found = [(p["port"], p["status"], p["id"], p.get("reason")) for p in report["ports"]]
            self.assertEqual(found, [
                (board.link, "board", 5, None),
                (self.path("b-silent"), "no-board", None, None),
                (busy.link, "unavailable", None, "busy"),
                (missing, "unavailable", None, "missing"),
                ("/dev/null", "unavailable", None, "not-serial"),
            ])
            self.assertEqual(busy.frames(), [])
            self.assertEqual(len(board.frames("read")), 1)
            rows = self.rows(log)
            self.assertEqual([(r[1], r[2], r[3], r[5]) for r in rows[1:]], [
                (board.link, "scan", "5", "0"), (self.path("b-silent"), "scan", "", "4"),
                (busy.link, "scan", "", "3"), (missing, "scan", "", "3"), ("/dev/null", "scan", "", "3"),
            ])
        repeat_if_disturbed(case, [board])

        run = self.zefa1id("scan", "--ports", *ports)
        self.assertEqual(run.code, 0)
        lines = run.out.splitlines()
        self.assertEqual(lines[0], board.link + "\t5\t" + COMPLETED)
        self.assertEqual(lines[1], self.path("b-silent") + "\t-\t" + COMM_FAILED)
        self.assertTrue(lines[2].startswith(busy.link + "\t-\t" + busy.link + UNUSABLE + " (busy: "), lines[2])
        self.assertEqual(len(lines), 5)

    def test_patterns_are_expanded_in_natural_order(self):
        for n in (10, 2, 1):
            self.board(id=n, link=self.path("port%d" % n))
        run = self.zefa1id("scan", "--ports", self.path("port*"), "--json")
        self.assertEqual(run.code, 0, run)
        found = [(p["port"], p["id"]) for p in run.json()["ports"]]
        self.assertEqual(found, [(self.path("port1"), 1), (self.path("port2"), 2), (self.path("port10"), 10)])

    def test_exit_code_without_a_board(self):
        self.board(modes=["silent"])
        missing = self.path("missing")
        cases = [
            ([self.link, missing], 4),
            ([missing], 3),
            ([self.path("none*")], 3),
        ]
        for ports, code in cases:
            with self.subTest(ports=ports):
                run = self.zefa1id("scan", "--ports", *ports, "--json")
                self.assertEqual(run.code, code, run)
                self.assertEqual(run.json()["exit"], code)

    def test_a_board_that_asks_to_be_set_again_is_still_a_board(self):
        self.board(modes=["report-id=99"])
        run = self.zefa1id("scan", "--ports", self.link, "--json")
        self.assertEqual(run.code, 0)
        entry = run.json()["ports"][0]
        self.assertEqual((entry["status"], entry["id"], entry["message"]), ("board", 99, SET_AGAIN))

    def test_a_stop_signal_ends_the_scan_at_the_port_it_is_on(self):
        boards = [self.board(modes=["silent"], link=self.path("silent%d" % n)) for n in range(3)]
        output = self.interrupt(boards[0], signal.SIGTERM, ["scan", "--ports", self.path("silent*"), "--json"],
                                boards[1:])
        report = json.loads(output)
        self.assertTrue(report["interrupted"])
        self.assertEqual(report["exit"], 128 + signal.SIGTERM)
        self.assertEqual([(p["port"], p["exit"]) for p in report["ports"]], [(boards[0].link, 128 + signal.SIGTERM)])
        self.assertEqual(boards[2].frames(), [])

    def test_list_names_the_ports_and_sends_nothing(self):
        board = self.board(link=self.path("tty1"))
        run = self.zefa1id("scan", "--list", "--ports", self.path("tty*"), self.path("gone"))
        self.assertEqual((run.code, run.out), (0, board.link + "\n" + self.path("gone") + "\n"))
        self.assertEqual(board.frames(), [])

    def test_the_machines_own_ports_are_serial_devices(self):
        # Listing only: probing this machine's ports is not a test's business.
        run = self.zefa1id("scan", "--list", "--json")
        self.assertIn(run.code, (0, 3), run)
        for entry in run.json()["ports"]:
            self.assertRegex(entry["port"], r"^/dev/tty(USB|ACM|S|AMA)\d+$")
            self.assertTrue(os.path.exists(entry["port"]))


class LateAnswerTests(CliTest):
    """A board that answers LATE_MS after each request: every answer comes
    too late for its attempt and is never taken for another one's. Judged
    without repeats: the delay keeps 15 ms from either edge."""

    def test_a_read_whose_answers_come_late_fails(self):
        board = self.board(id=7, modes=["delay=%d" % LATE_MS])
        run = self.zefa1id("read", "--port", self.link, "--json")
        self.assertEqual(run.code, 4, run)
        report = run.json()
        self.assertEqual((report["exit"], report["id"], report["requests"]), (4, None, 10))
        self.assertEqual(report["surplus_bytes"], 0)
        # The board answered every one of them, each too late.
        answers = board.wait_for_frames("answer", 10)
        self.assertEqual([f.bytes for f in answers], [b"\x07\x07"] * 10)

    def test_a_write_whose_answers_come_late_says_the_board_may_have_changed(self):
        board = self.board(id=7, modes=["delay=%d" % LATE_MS])
        log = self.path("ids.csv")
        run = self.zefa1id("write", "12", "--port", self.link, "--log", log)
        self.assertEqual((run.code, run.out, run.err), (4, "", COMM_FAILED + " " + MAY_HAVE_CHANGED + "\n"))
        self.assertEqual(self.rows(log)[1][1:], [self.link, "write", "12", COMM_FAILED + " " + MAY_HAVE_CHANGED, "4"])
        # It did: the board took the ID with the first request.
        self.assertEqual(board.wait_for_frames("answer", 10)[0].bytes, b"\x0c\x06")

        board.set_modes(["id=7", "delay=%d" % LATE_MS])
        report = self.zefa1id("write", "12", "--port", self.link, "--json", "--verify").json()
        self.assertEqual((report["exit"], report["acknowledged_passes"], report["board_may_have_changed"]),
                         (4, 0, True))
        self.assertEqual((report["answer_id"], report["verified_id"], report["requests"]), (None, None, 10))

    def test_a_late_answer_does_not_reach_the_next_run(self):
        board = self.board(id=7, modes=["delay=%d" % LATE_MS])
        run = self.zefa1id("write", "6", "--port", self.link, "--verify", "--json")
        self.assertEqual(run.code, 4, run)
        # The next board of a batch, connected at once; the answer of the
        # run before is still on its way.
        board.set_modes(["id=3"])
        run = self.zefa1id("read", "--port", self.link, "--json")
        self.assertEqual(run.code, 0, run)
        self.assertEqual((run.json()["id"], run.json()["requests"]), (3, 1))


class CutShortWriteTests(CliTest):
    """A write that ends before its third acknowledged pass says how far it
    got, and that the board may hold the new ID."""

    def test_a_board_that_stops_answering(self):
        board = self.board(id=7)
        log = self.path("ids.csv")
        for answered in (1, 2):
            with self.subTest(answered=answered):
                board.set_modes(["id=7", "answers=%d" % answered])
                board.clear_log()
                run = self.zefa1id("write", "12", "--port", self.link, "--json", "--log", log)
                self.assertEqual(run.code, 4, run)
                report = run.json()
                self.assertEqual((report["exit"], report["acknowledged_passes"], report["board_may_have_changed"]),
                                 (4, answered, True))
                self.assertEqual(self.rows(log)[-1][4:], [COMM_FAILED + " " + MAY_HAVE_CHANGED, "4"])
                self.assertEqual([f.bytes for f in board.frames("answer")], [b"\x0c\x06"] * answered)
                self.assertEqual(self.zefa1id("read", "--port", self.link).code, 4)  # still silent
        board.set_modes([])
        self.assertEqual(self.zefa1id("read", "--port", self.link).out, "12\n")

    def stop_during(self, board, sig, args, writes):
        """Sends sig once writes write requests reached the board, which
        then stays silent for the whole pass (0.6 s); returns the output."""
        board.clear_log()
        process = subprocess.Popen([ZEFA1ID, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            board.wait_for_frames("write", writes)
            process.send_signal(sig)
            out, _ = process.communicate(timeout=10)
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
        self.assertEqual(process.returncode, -sig)
        return out.decode("utf-8")

    def test_a_signal_during_each_pass(self):
        board = self.board(id=7)
        log = self.path("ids.csv")
        expected_rows = []
        for passes_before in (0, 1, 2):
            for sig in (signal.SIGINT, signal.SIGTERM):
                with self.subTest(pass_=passes_before + 1, signal=sig.name):
                    board.set_modes(["id=7", "answers=%d" % passes_before] if passes_before else ["silent"])
                    output = self.stop_during(board, sig, ["write", "12", "--port", self.link, "--json",
                                                           "--log", log], passes_before + 1)
                    report = json.loads(output)
                    self.assertEqual((report["exit"], report["interrupted"]), (128 + sig, True))
                    self.assertEqual((report["acknowledged_passes"], report["board_may_have_changed"]),
                                     (passes_before, True))
                    self.assertEqual(self.rows(log)[-1][4:],
                                     [COMM_FAILED + " (interrupted) " + MAY_HAVE_CHANGED, str(128 + sig)])
                    self.assertEqual(len(board.frames("answer")), passes_before)
                    expected_rows.append(str(128 + sig))
        self.assertEqual([row[5] for row in self.rows(log)[1:]], expected_rows)


class TerminalTests(CliTest):
    """The port's own settings come back, however the run ends."""

    def settings(self, board):
        fd = os.open(board.slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            return termios.tcgetattr(fd), fcntl.ioctl(fd, TIOCGEXCL, b"\0\0\0\0")
        finally:
            os.close(fd)

    def set_unusual_settings(self, board):
        fd = os.open(board.slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            attrs = termios.tcgetattr(fd)
            attrs[0] |= termios.ICRNL | termios.IXON
            attrs[2] |= termios.CSTOPB | termios.CRTSCTS
            attrs[3] |= termios.ICANON | termios.ECHO
            attrs[4] = attrs[5] = termios.B9600
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
        finally:
            os.close(fd)

    def test_settings_come_back_after_success_and_failure(self):
        board = self.board(id=7)
        self.set_unusual_settings(board)
        before = self.settings(board)
        for modes, args, code in (([], ("read",), 0), (["silent"], ("write", "3"), 4)):
            with self.subTest(modes=modes):
                board.set_modes(modes)
                self.assertEqual(self.zefa1id(*args, "--port", self.link).code, code)
                self.assertEqual(self.settings(board), before)

    def test_settings_come_back_after_a_stop_signal(self):
        board = self.board(modes=["silent"])
        self.set_unusual_settings(board)
        before = self.settings(board)
        log = self.path("ids.csv")
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                output = self.interrupt(board, sig, ["read", "--port", self.link, "--json", "--log", log])
                report = json.loads(output)
                self.assertEqual((report["exit"], report["interrupted"]), (128 + sig, True))
                self.assertEqual(self.settings(board), before)
        rows = self.rows(log)
        self.assertEqual(len(rows), 4)
        self.assertEqual([row[4:] for row in rows[1:]],
                         [[COMM_FAILED + " (interrupted)", str(128 + sig)]
                          for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)])


if __name__ == "__main__":
    unittest.main()
