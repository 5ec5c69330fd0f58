"""The test support around the simulator: boardsim.py and with-boardsim.

Needs ZEFA_BOARDSIM (the simulator to run); ctest sets it.
"""

import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

SUPPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support")
WITH_BOARDSIM = os.path.join(SUPPORT, "with-boardsim")
sys.path.insert(0, SUPPORT)

from boardsim import BoardSim, BoardSimError, Frame  # noqa: E402

READ = b"\xfe\x7e"
WRITE_3 = b"\xff\x5a\x03\x5c"


def exchange(path, request, length, timeout=5.0):
    """Sends a request on the port at path and reads up to length bytes."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    try:
        os.write(fd, request)
        answer = b""
        deadline = time.monotonic() + timeout
        while len(answer) < length and time.monotonic() < deadline:
            if select.select([fd], [], [], 0.05)[0]:
                answer += os.read(fd, length - len(answer))
        return answer
    finally:
        os.close(fd)


def wait_until(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


class Folder(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="support-test-")
        self.addCleanup(shutil.rmtree, self.folder, True)


class BoardSimTest(Folder):
    def test_exchanges_follows_modes_and_logs(self):
        link = os.path.join(self.folder, "com1")
        with BoardSim(link, id=7, modes=["extra=1"]) as board:
            self.assertEqual(os.readlink(link), board.slave)
            self.assertEqual(exchange(link, READ, 3), b"\x07\x07\x55")

            board.set_modes(["report-id=32"])
            self.assertEqual(exchange(link, READ, 2), b"\x20\x20")
            # No words is a sound board, not a return to the start modes.
            board.set_modes([])
            self.assertEqual(exchange(link, WRITE_3, 2), b"\x03\x06")

            self.assertEqual([f.bytes for f in board.frames("read")], [READ, READ])
            self.assertEqual([f.bytes for f in board.wait_for_frames("answer", 3)],
                             [b"\x07\x07\x55", b"\x20\x20", b"\x03\x06"])
            frame = board.frames("write")[0]
            self.assertEqual((frame.direction, frame.kind, frame.bytes), ("rx", "write", WRITE_3))
            self.assertIn("control report-id=32", [l.split(" ", 1)[1] for l in board.log_lines()])

            board.clear_log()
            self.assertEqual(board.frames(), [])
            self.assertEqual(exchange(link, READ, 2), b"\x03\x03")
            self.assertEqual(len(board.wait_for_frames("answer", 1)), 1)
            process = board._process
        self.assertFalse(os.path.lexists(link))
        self.assertIsNotNone(process.poll())
        self.assertEqual([f.kind for f in board.frames()], ["read", "answer"],
                         "the log stays readable after stop")

    def test_frames_parse_every_kind(self):
        lines = ["0.100 start id=7 normal", "1.500 rx noise 41", "2.000 rx bad fe 11",
                 "3.250 rx read fe 7e", "3.300 drop read (silent)", "4.000 tx 07 07 55",
                 "5.000 control silent"]
        from boardsim import parse_frames
        self.assertEqual(parse_frames(lines), [
            Frame(1.5, "rx", "noise", b"\x41"),
            Frame(2.0, "rx", "bad", b"\xfe\x11"),
            Frame(3.25, "rx", "read", READ),
            Frame(4.0, "tx", "answer", b"\x07\x07\x55"),
        ])
        self.assertEqual(parse_frames(lines, "bad"), [Frame(2.0, "rx", "bad", b"\xfe\x11")])

    def test_start_failure_says_why_and_leaves_nothing(self):
        link = os.path.join(self.folder, "com1")
        board = BoardSim(link, modes=["bogus"])
        with self.assertRaisesRegex(BoardSimError, "bogus"):
            board.start()
        self.assertFalse(os.path.lexists(link))
        self.assertFalse(os.path.exists(board._folder))
        with self.assertRaisesRegex(BoardSimError, "cannot run"):
            BoardSim(link, binary=os.path.join(self.folder, "missing")).start()

    def test_wait_for_frames_times_out(self):
        with BoardSim(os.path.join(self.folder, "com1")) as board:
            with self.assertRaisesRegex(BoardSimError, "0 write frame"):
                board.wait_for_frames("write", 1, timeout=0.2)

    def test_a_simulator_that_died_is_reported_and_its_link_removed(self):
        link = os.path.join(self.folder, "com1")
        board = BoardSim(link).start()
        board._process.kill()
        board._process.wait(5)
        with self.assertRaisesRegex(BoardSimError, "status -9"):
            board.stop()
        self.assertFalse(os.path.lexists(link))

    # Even a test process killed outright leaves no simulator behind.
    def test_simulator_ends_with_its_killed_owner(self):
        link = os.path.join(self.folder, "com1")
        owner = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent("""
                import sys, time
                sys.path.insert(0, sys.argv[1])
                from boardsim import BoardSim
                board = BoardSim(sys.argv[2]).start()
                print(board.slave, flush=True)
                time.sleep(60)
            """), SUPPORT, link], stdout=subprocess.PIPE,
            # What a killed owner cannot remove lands in the test's folder.
            env=dict(os.environ, TMPDIR=self.folder))
        try:
            self.assertTrue(owner.stdout.readline())
            self.assertTrue(os.path.islink(link))
            owner.kill()
            owner.wait(5)
            self.assertTrue(wait_until(lambda: not os.path.lexists(link)),
                            "the simulator outlived its owner")
        finally:
            owner.kill()
            owner.wait(5)
            owner.stdout.close()


class WithBoardsimTest(Folder):
    def setUp(self):
        super().setUp()
        self.prefix = os.path.join(self.folder, "prefix")
        os.makedirs(os.path.join(self.prefix, "dosdevices"))
        self.env = dict(os.environ)
        self.env.pop("WINEPREFIX", None)
        self.env.pop("ZEFA_WINE_ENV", None)

    def run_with(self, args, env=None, timeout=30):
        return subprocess.run([WITH_BOARDSIM] + args, env=env or self.env, timeout=timeout,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)

    def test_runs_the_command_against_a_board_and_returns_its_status(self):
        script = textwrap.dedent(r"""
            import os, select, sys, time
            env = os.environ
            link = os.path.join(sys.argv[1], "dosdevices", "com4")
            assert env["ZEFA_BOARD_LINK"] == link, env["ZEFA_BOARD_LINK"]
            assert os.readlink(link) == env["ZEFA_BOARD_SLAVE"]
            for name in ("ZEFA_BOARD_LOG", "ZEFA_BOARD_CONTROL"):
                assert env[name + "_WIN"] == "Z:" + env[name].replace("/", "\\"), env[name + "_WIN"]
            with open(env["ZEFA_BOARD_CONTROL"], "w") as f:
                f.write("read-mismatch\n")
            fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
            os.write(fd, b"\xfe\x7e")
            answer = b""
            deadline = time.monotonic() + 5
            while len(answer) < 2 and time.monotonic() < deadline:
                if select.select([fd], [], [], 0.05)[0]:
                    answer += os.read(fd, 2)
            assert answer == b"\x0c\x0d", answer
            with open(env["ZEFA_BOARD_LOG"]) as f:
                assert " rx read fe 7e\n" in f.read()
            print(os.path.dirname(env["ZEFA_BOARD_LOG"]))
            sys.exit(7)
        """)
        result = self.run_with(["--com", "4", "--prefix", self.prefix, "--id", "12", "--",
                                sys.executable, "-c", script, self.prefix])
        self.assertEqual(result.returncode, 7, result.stderr)
        self.assertFalse(os.path.lexists(os.path.join(self.prefix, "dosdevices", "com4")))
        self.assertFalse(os.path.exists(result.stdout.strip()), "the temporary folder stays")

    def test_prefix_from_the_wine_environment_file(self):
        env_file = os.path.join(self.folder, "wine-env.sh")
        with open(env_file, "w") as f:
            f.write("export WINEPREFIX='%s'\nexport WINEDEBUG=-all\n" % self.prefix)
        env = dict(self.env, ZEFA_WINE_ENV=env_file)
        result = self.run_with(["--com", "2", "--", "sh", "-c", 'test -L "$ZEFA_BOARD_LINK" && '
                                'echo "$ZEFA_BOARD_LINK"'], env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), os.path.join(self.prefix, "dosdevices", "com2"))

    def test_given_log_and_control_are_used_and_kept(self):
        log = os.path.join(self.folder, "board.log")
        control = os.path.join(self.folder, "board.control")
        with open(control, "w") as f:
            f.write("silent\n")
        result = self.run_with(["--com", "1", "--prefix", self.prefix, "--log", log,
                                "--control", control, "--", "sh", "-c",
                                'printf "$ZEFA_BOARD_LOG $ZEFA_BOARD_CONTROL"'])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "%s %s" % (log, control))
        with open(log) as f:
            self.assertIn("control silent", f.read())

    def test_setup_errors_run_nothing(self):
        marker = os.path.join(self.folder, "ran")
        cases = [
            (["--com", "1", "--prefix", self.folder], "no dosdevices"),
            (["--com", "0", "--prefix", self.prefix], "--com"),
            (["--com", "1", "--prefix", self.prefix, "--bin", "/nonexistent"], "no simulator"),
            (["--com", "1", "--prefix", self.prefix, "--mode", "bogus"], "did not get ready"),
            (["--com", "1", "--prefix", self.prefix, "--link", "x"], "--link"),
            (["--com", "1"], "no prefix"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = self.run_with(args + ["--", "touch", marker])
                self.assertEqual(result.returncode, 125, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(marker))
        self.assertEqual(os.listdir(os.path.join(self.prefix, "dosdevices")), [])

    # A command measured against a dead board has no outcome to trust.
    def test_a_simulator_dying_under_the_command_fails_the_run(self):
        link = os.path.join(self.prefix, "dosdevices", "com1")
        # The command ends only once the kill has taken effect.
        result = self.run_with(["--com", "1", "--prefix", self.prefix, "--", "sh", "-c",
                                'kill -KILL "$ZEFA_BOARD_PID"; '
                                'while [ -d /proc/$ZEFA_BOARD_PID ] && '
                                '! grep -q "^State:.*Z" /proc/$ZEFA_BOARD_PID/status; do sleep 0.01; done'])
        self.assertEqual(result.returncode, 125, result.stderr)
        self.assertIn("the simulator ended while the command ran", result.stderr)
        self.assertFalse(os.path.lexists(link))

    def test_simulator_ends_with_a_killed_wrapper(self):
        link = os.path.join(self.prefix, "dosdevices", "com1")
        wrapper = subprocess.Popen([WITH_BOARDSIM, "--com", "1", "--prefix", self.prefix, "--",
                                    "sleep", "60"], env=dict(self.env, TMPDIR=self.folder),
                                   stdin=subprocess.DEVNULL,
                                   start_new_session=True)
        try:
            self.assertTrue(wait_until(lambda: os.path.islink(link)))
            wrapper.kill()
            wrapper.wait(5)
            self.assertTrue(wait_until(lambda: not os.path.lexists(link)),
                            "the simulator outlived its wrapper")
        finally:
            # The command's sleep was orphaned with the wrapper.
            try:
                os.killpg(wrapper.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            wrapper.wait(5)


if __name__ == "__main__":
    unittest.main(verbosity=2)
