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
UNITTEST_CLASSES = os.path.join(SUPPORT, "unittest_classes.py")
sys.path.insert(0, SUPPORT)

from boardsim import (BoardSim, BoardSimError, Frame, repeat_if_disturbed,  # noqa: E402
                      requests_by_board, timing_disturbance)

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


SHM = "/dev/shm" if os.path.isdir("/dev/shm") else None


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

    def test_boards_come_and_go_and_their_ids_are_logged_at_the_end(self):
        link = os.path.join(self.folder, "line")
        with BoardSim(link, id=0, modes=["removed"]) as board:
            self.assertEqual(exchange(link, READ, 2, timeout=0.2), b"")
            board.set_modes(["board=2"])
            self.assertEqual(exchange(link, WRITE_3, 2), b"\x03\x06")
            board.set_modes(["board=1"])
            self.assertEqual(exchange(link, READ, 2), b"\x00\x00")
            board.set_modes(["removed"])
            self.assertEqual(exchange(link, WRITE_3, 2, timeout=0.2), b"")
            with self.assertRaises(BoardSimError):
                board.final_ids()  # not before the end
        self.assertEqual(board.final_ids(), {1: 0, 2: 3})
        self.assertEqual(requests_by_board(board.log_lines()), {2: [WRITE_3], None: [WRITE_3]})
        self.assertEqual(requests_by_board(board.log_lines(), "read"), {None: [READ], 1: [READ]})

    def test_temporary_files_are_kept_off_the_disk(self):
        link = os.path.join(self.folder, "com1")
        cases = [({}, SHM or tempfile.gettempdir()), ({"ZEFA_BOARD_TMPDIR": self.folder}, self.folder)]
        for env, root in cases:
            with self.subTest(env=env):
                saved = os.environ.pop("ZEFA_BOARD_TMPDIR", None)
                os.environ.update(env)
                try:
                    with BoardSim(link) as board:
                        self.assertEqual(os.path.dirname(os.path.dirname(board.log_path)), root)
                        self.assertEqual(os.path.dirname(board.control_path),
                                         os.path.dirname(board.log_path))
                finally:
                    os.environ.pop("ZEFA_BOARD_TMPDIR", None)
                    if saved is not None:
                        os.environ["ZEFA_BOARD_TMPDIR"] = saved
                self.assertFalse(os.path.exists(os.path.dirname(board.log_path)))

    # A line may be written a moment after its answer: what the board
    # read and sent before a look at the log is always in it.
    def test_the_log_is_complete_when_read(self):
        link = os.path.join(self.folder, "com1")
        with BoardSim(link, id=7) as board:
            for round in range(20):
                board.clear_log()
                self.assertEqual(exchange(link, READ, 2), b"\x07\x07")
                self.assertEqual([(f.kind, f.bytes) for f in board.frames()],
                                 [("read", READ), ("answer", b"\x07\x07")], "round %d" % round)

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
            env=dict(os.environ, ZEFA_BOARD_TMPDIR=self.folder))
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


def lines(*events):
    """Log lines from (time, event) pairs."""
    return ["%.3f %s" % (time, event) for time, event in events]


def unanswered(times, kind="read"):
    request = "rx read fe 7e" if kind == "read" else "rx write ff 5a 03 5c"
    result = []
    for time in times:
        result += [(time, request), (time + 0.05, "drop %s (silent)" % kind)]
    return result


class TimingDisturbanceTest(unittest.TestCase):
    def test_signs_in_fixed_logs(self):
        read, write = "rx read fe 7e", "rx write ff 5a 03 5c"
        cases = [
            # name, events, delay_ms, the sign's words or None
            ("a prompt read", [(0.0, "start id=7 normal"), (10.0, read), (10.2, "tx 07 07")], 0, None),
            ("an answer 31 ms after its request", [(10.0, read), (41.1, "tx 07 07")], 0, "31.1 ms after"),
            ("as late, within its delay", [(10.0, read), (41.1, "tx 07 07")], 20, None),
            ("later than its delay allows", [(10.0, read), (61.0, "tx 07 07")], 20, "51.0 ms after"),
            ("three write passes back to back",
             [(0.0, write), (0.2, "tx 03 06"), (0.4, write), (0.6, "tx 03 06"), (0.8, write), (1.0, "tx 03 06")],
             0, None),
            ("extra bytes are part of a complete answer",
             [(0.0, write), (0.2, "tx 03 06 55 55"), (0.4, write), (0.6, "tx 03 06 55 55")], 0, None),
            ("a read right after a whole write",
             [(0.0, write), (0.2, "tx 03 06"), (0.4, write), (0.6, "tx 03 06"), (0.8, write), (1.0, "tx 03 06"),
              (1.2, read), (1.4, "tx 03 03")], 0, None),
            ("a read again soon after its answer",
             [(0.0, read), (0.7, "tx ff ff"), (0.8, read), (0.9, "tx ff ff")], 0, "after an answer that ended"),
            ("a refused write again soon after its answer",
             [(0.0, write), (0.2, "tx 03 15"), (9.0, write), (9.2, "tx 03 15")], 0, "9.0 ms apart after"),
            ("a fourth write pass",
             [(0.0, write), (0.1, "tx 03 06"), (23.2, write), (24.4, "tx 03 06"), (31.0, write), (32.4, "tx 03 06"),
              (32.5, write), (32.7, "tx 03 06")], 0, "1.5 ms apart after"),
            ("two writes of one ID, one after the other",
             [(0.0, write), (0.1, "tx 03 06"), (1.0, write), (1.1, "tx 03 06"), (2.0, write), (2.1, "tx 03 06"),
              (90.0, write), (90.1, "tx 03 06"), (91.0, write), (91.1, "tx 03 06")], 0, None),
            ("a silent board's attempts one time-out apart",
             unanswered([0.0, 30.4, 60.9, 91.2, 121.8, 152.0, 182.3, 212.9, 243.1, 273.5]), 0, None),
            ("two unanswered requests read together", unanswered([50.0, 50.0]), 0, "0.0 ms apart"),
            ("unanswered requests closer than a time-out", unanswered([50.0, 65.0]), 0, "15.0 ms apart"),
            ("a receive time-out with nothing on the line", unanswered([50.0, 80.4, 145.0]), 0, "64.6 ms apart"),
            ("one-byte answers one time-out apart",
             [(0.0, read), (0.1, "tx 07"), (30.5, read), (30.6, "tx 07"), (61.0, read), (61.1, "tx 07")], 0, None),
            ("a one-byte answer is no answer",
             [(0.0, read), (0.1, "tx 07"), (4.0, read), (4.1, "tx 07")], 0, "4.0 ms apart"),
            ("the answered attempt read together with the unanswered one before it",
             [(270.0, read), (270.0, read), (270.1, "drop read (from-attempt 9/10)"), (270.2, "tx 07 07")],
             0, "0.0 ms apart"),
            ("two requests answered after both came",
             [(5.0, read), (5.0, read), (5.1, "tx 07 07"), (5.2, "tx 07 07")], 0, "0.0 ms apart"),
            ("other lines, an answer without its request and broken lines",
             [(0.0, "control silent"), (1.0, "rx noise 41"), (1.5, "rx bad fe 11"), (2.0, "tx 07 07"),
              (3.0, "control rejected: unknown mode \"x\""), (40.0, read), (40.1, "tx 07 07")], 0, None),
        ]
        for name, events, delay, sign in cases:
            with self.subTest(name):
                found = timing_disturbance(lines(*events) + ["", "garbage", "x.y rx read fe 7e"], delay_ms=delay)
                if sign is None:
                    self.assertIsNone(found)
                else:
                    self.assertIsNotNone(found)
                    self.assertIn(sign, found)

    def test_passes_done_on_another_port_count(self):
        write = "rx write ff 5a 03 5c"
        two_passes = lines((0.0, write), (0.1, "tx 03 06"), (25.0, write), (25.1, "tx 03 06"))
        self.assertIsNone(timing_disturbance(two_passes, passes_done=1))
        three_passes = two_passes + lines((31.0, write), (31.1, "tx 03 06"))
        self.assertIsNone(timing_disturbance(three_passes))
        self.assertIn("6.0 ms apart after", timing_disturbance(three_passes, passes_done=1))

    def test_the_limit_sets_the_bounds(self):
        burst = lines(*unanswered([0.0, 50.0]))
        self.assertIsNone(timing_disturbance(burst, limit_ms=30.0))
        self.assertIn("50.0 ms apart", timing_disturbance(burst, limit_ms=100.0))
        late = lines((0.0, "rx read fe 7e"), (80.0, "tx 07 07"))
        self.assertIsNone(timing_disturbance(late, limit_ms=100.0))

    def test_a_quiet_wait_before_each_attempt_sets_the_pace(self):
        silent = lines(*unanswered([0.0, 60.5, 121.2, 181.9]))
        self.assertIn("60.5 ms apart", timing_disturbance(silent))
        self.assertIsNone(timing_disturbance(silent, quiet_ms=30.0))
        self.assertIn("30.0 ms apart", timing_disturbance(lines(*unanswered([0.0, 30.0])), quiet_ms=30.0))
        self.assertIn("125.0 ms apart", timing_disturbance(lines(*unanswered([0.0, 125.0])), quiet_ms=30.0))
        write = "rx write ff 5a 03 5c"
        passes = lines((0.0, write), (0.2, "tx 03 06"), (31.0, write), (31.2, "tx 03 06"), (62.0, write),
                       (62.2, "tx 03 06"), (93.0, "rx read fe 7e"), (93.2, "tx 03 03"))
        self.assertIsNone(timing_disturbance(passes, quiet_ms=30.0))
        # A late answer is read away by the quiet wait, which it makes longer.
        late = lines((0.0, "rx read fe 7e"), (45.0, "tx 07 07"), (75.5, "rx read fe 7e"), (120.5, "tx 07 07"))
        self.assertIn("45.0 ms after", timing_disturbance(late, quiet_ms=30.0))
        self.assertIsNone(timing_disturbance(late, delay_ms=15, quiet_ms=30.0))


class RealTimingTest(Folder):
    def test_the_simulators_stamps_show_its_timing(self):
        link = os.path.join(self.folder, "com1")
        with BoardSim(link, id=7) as board:
            self.assertEqual(exchange(link, READ, 2), b"\x07\x07")
            # However loaded the machine, this exchange took less than a second.
            self.assertFalse(board.timing_disturbed(limit_ms=1000.0))

            board.set_modes(["delay=60"])
            board.clear_log()
            self.assertEqual(exchange(link, READ, 2), b"\x07\x07")
            request, answer = board.frames()
            self.assertGreaterEqual(answer.time - request.time, 59.9)
            self.assertTrue(board.timing_disturbed())
            self.assertFalse(board.timing_disturbed(delay_ms=1000))

            # Two attempts on the line at once: a client late by a time-out.
            board.set_modes(["silent"])
            board.clear_log()
            fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
            try:
                os.write(fd, READ + READ)
            finally:
                os.close(fd)
            board.wait_for_frames("read", 2)
            self.assertIn("apart with no answer", board.timing_disturbance())


class FakeBoard:
    """What repeat_if_disturbed asks of a board."""

    def __init__(self, disturbed):
        self.disturbed = list(disturbed)  # one answer for each failed run
        self.cleared = 0

    def clear_log(self):
        self.cleared += 1

    def timing_disturbance(self, limit_ms, delay_ms, quiet_ms=0):
        return "late" if self.disturbed.pop(0) else None


class RepeatIfDisturbedTest(unittest.TestCase):
    def test_only_failures_with_a_disturbed_timing_are_repeated(self):
        cases = [
            # name, outcome of each run (True passes), disturbed after each failure, runs, raises
            ("passes at once", [True], [], 1, False),
            ("passes once the timing holds", [False, False, True], [True, True], 3, False),
            ("fails without disturbance", [False, True], [False], 1, True),
            ("fails again once the timing held", [False, False, True], [True, False], 2, True),
            ("fails in every run", [False, False, False, True], [True, True, True], 3, True),
        ]
        for name, outcomes, disturbed, runs, raises in cases:
            with self.subTest(name):
                board = FakeBoard(disturbed)
                calls = []

                def case():
                    calls.append(len(calls))
                    self.assertTrue(outcomes[len(calls) - 1], "run %d" % len(calls))
                    return "result"

                if raises:
                    with self.assertRaisesRegex(AssertionError, "run %d" % runs):
                        repeat_if_disturbed(case, [board])
                else:
                    self.assertEqual(repeat_if_disturbed(case, [board]), "result")
                self.assertEqual((len(calls), board.cleared), (runs, runs))

    def test_any_board_disturbed_counts_and_other_errors_pass_through(self):
        calm, late = FakeBoard([False]), FakeBoard([True])
        runs = []

        def fails_once():
            runs.append(1)
            self.assertGreater(len(runs), 1)

        repeat_if_disturbed(fails_once, [calm, late])
        self.assertEqual(len(runs), 2)

        def broken():
            runs.append(1)
            raise KeyError("not a failed check")

        runs.clear()
        with self.assertRaises(KeyError):
            repeat_if_disturbed(broken, [FakeBoard([True])])
        self.assertEqual(len(runs), 1)


class UnittestClassesTest(Folder):
    def list_classes(self, source):
        module = os.path.join(self.folder, "test_fixture.py")
        with open(module, "w") as f:
            f.write(textwrap.dedent(source))
        return subprocess.run([sys.executable, UNITTEST_CLASSES, module], capture_output=True, text=True,
                              timeout=30)

    def test_lists_every_class_that_unittest_runs(self):
        result = self.list_classes("""
            import unittest
            from boardsim import BoardSim  # the support folder is on the path
            from unittest import TestCase as Imported


            class Base(unittest.TestCase):
                def helper(self):
                    pass


            class Checks:
                def test_from_a_mixin(self):
                    pass


            class OwnTests(Base):
                def test_one(self):
                    pass


            class InheritedOnly(Checks, Base):
                pass


            class NotATestCase:
                def test_ignored(self):
                    pass
        """)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.split(), ["InheritedOnly", "OwnTests"])
        self.assertFalse(os.path.exists(os.path.join(self.folder, "__pycache__")))

    def test_a_module_without_tests_or_that_fails_to_import_is_an_error(self):
        cases = [
            ("import unittest\nclass Base(unittest.TestCase):\n    pass\n", "holds no unittest test"),
            ("import no_such_module\n", "No module named"),
        ]
        for source, message in cases:
            with self.subTest(message):
                result = self.list_classes(source)
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, result.stderr)


class WithBoardsimTest(Folder):
    def setUp(self):
        super().setUp()
        self.prefix = os.path.join(self.folder, "prefix")
        os.makedirs(os.path.join(self.prefix, "dosdevices"))
        self.env = dict(os.environ)
        for name in ("WINEPREFIX", "ZEFA_WINE_ENV", "ZEFA_BOARD_TMPDIR"):
            self.env.pop(name, None)

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
            # Logged just after the answer went out.
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                with open(env["ZEFA_BOARD_LOG"]) as f:
                    if " rx read fe 7e\n" in f.read():
                        break
                time.sleep(0.01)
            else:
                sys.exit("no rx line in the log")
            print(os.path.dirname(env["ZEFA_BOARD_LOG"]))
            sys.exit(7)
        """)
        result = self.run_with(["--com", "4", "--prefix", self.prefix, "--id", "12", "--",
                                sys.executable, "-c", script, self.prefix])
        self.assertEqual(result.returncode, 7, result.stderr)
        self.assertFalse(os.path.lexists(os.path.join(self.prefix, "dosdevices", "com4")))
        folder = result.stdout.strip()
        self.assertFalse(os.path.exists(folder), "the temporary folder stays")
        if SHM:
            self.assertEqual(os.path.dirname(folder), SHM)

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
                                    "sleep", "60"], env=dict(self.env, ZEFA_BOARD_TMPDIR=self.folder),
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
