"""zefa1id station end to end: the real program on a pseudo-terminal, with
a simulated board line on which boards are connected and taken off.

    ZEFA1ID=build/native/cli/zefa1id PYTHONPATH=tests/support \\
        python3 -m unittest tests/native/cli/test_station.py

The board's log is the judge: which write requests each board got, and the
ID each holds when the simulator stops. The waits are for what the station
says, with margins of many seconds; nothing is run again.
"""

import csv
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from boardsim import BoardSim, requests_by_board

HERE = os.path.dirname(os.path.abspath(__file__))
ZEFA1ID = os.environ.get("ZEFA1ID") or os.path.join(HERE, "..", "..", "..", "build", "native", "cli", "zefa1id")

PROMPT = "次のボードを接続してください"
SUCCEEDED = "書込に成功しました"
COMM_FAILED = "通信に失敗しました"
MAY_HAVE_CHANGED = "ボードのIDが書き換わった可能性があります"
BELL = "\a"

# What the station is given to say something; it takes about a second to
# see a board gone.
WAIT = 20.0
# The station reads at most this many times a second.
MOST_READS_PER_SECOND = 4


def write_request(id):
    return bytes([0xFF, 0x5A, id, (0xFF + 0x5A + id) % 128])


class Station:
    """A station run whose output is read as it comes."""

    def __init__(self, args):
        self.process = subprocess.Popen([ZEFA1ID, "station", *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self._lock = threading.Condition()
        self._text = {"out": b"", "err": b""}
        self._threads = [threading.Thread(target=self._pump, args=(name, stream), daemon=True)
                         for name, stream in (("out", self.process.stdout), ("err", self.process.stderr))]
        for thread in self._threads:
            thread.start()

    def _pump(self, name, stream):
        for chunk in iter(lambda: stream.read1(4096), b""):
            with self._lock:
                self._text[name] += chunk
                self._lock.notify_all()

    def text(self, name):
        with self._lock:
            return self._text[name].decode("utf-8")

    def wait_for(self, name, wanted, count=1, timeout=WAIT):
        """Waits until the stream holds wanted count times; returns its text."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while self._text[name].decode("utf-8", "replace").count(wanted) < count:
                left = deadline - time.monotonic()
                if left <= 0 or (self.process.poll() is not None and not any(t.is_alive() for t in self._threads)):
                    raise AssertionError("%r not seen %d time(s) on std%s: %r" % (wanted, count, name,
                                                                                  self._text[name].decode()))
                self._lock.wait(min(left, 0.1))
            return self._text[name].decode("utf-8", "replace")

    def finish(self, timeout=WAIT):
        code = self.process.wait(timeout)
        for thread in self._threads:
            thread.join(timeout)
        for stream in (self.process.stdout, self.process.stderr):
            stream.close()
        return code

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        if not self.process.stdout.closed:
            self.finish()

    def json_lines(self):
        return [json.loads(line) for line in self.text("out").splitlines()]


class StationTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zefa1id-station-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.link = os.path.join(self.dir, "board")
        self.log = os.path.join(self.dir, "ids.csv")
        # The line starts without a board; every board is 0 from the factory.
        self.board = BoardSim(self.link, id=0, modes=["removed"]).start()
        self.addCleanup(self.board.stop)

    def station(self, *args):
        run = Station(["--port", self.link, *args])
        self.addCleanup(run.kill)
        return run

    def connect(self, number, *modes):
        self.board.set_modes(["board=%d" % number, *modes])

    def take_off(self):
        self.board.set_modes(["removed"])

    def writes(self):
        return requests_by_board(self.board.log_lines(), "write")

    def final_ids(self):
        self.board.stop()
        return self.board.final_ids()

    def log_rows(self):
        with open(self.log, encoding="utf-8", newline="") as f:
            return [row[1:] for row in csv.reader(f)][1:]

    def test_a_batch_of_three_boards_with_the_same_factory_id(self):
        run = self.station("--ids", "10-12", "--log", self.log)
        for number in (1, 2, 3):
            run.wait_for("err", PROMPT, number)
            self.connect(number)
            run.wait_for("out", "\t", number * 3)  # the board's line
            if number < 3:
                self.take_off()
                run.wait_for("err", "board %d removed" % number)
        self.assertEqual(run.finish(), 0)

        self.assertEqual(run.text("out").splitlines(), [
            "1\t0\t10\t" + SUCCEEDED,
            "2\t0\t11\t" + SUCCEEDED,
            "3\t0\t12\t" + SUCCEEDED,
            "numbered 3 of 3; failed: none; left: none",
        ])
        err = run.text("err")
        self.assertEqual(err.count(BELL), 3)
        self.assertIn(PROMPT + " (board 2 of 3: ID 11)\n", err)
        self.assertEqual(self.writes(), {1: [write_request(10)] * 3, 2: [write_request(11)] * 3,
                                         3: [write_request(12)] * 3})
        self.assertEqual(self.log_rows(), [[self.link, "station", str(id), SUCCEEDED, "0"] for id in (10, 11, 12)])
        self.assertEqual(self.final_ids(), {1: 10, 2: 11, 3: 12})

    def test_a_numbered_board_that_stays_connected_is_never_written_again(self):
        run = self.station("--ids", "5-6", "--json", "--quiet")
        run.wait_for("err", PROMPT)
        self.connect(1)
        run.wait_for("out", "\n")
        written = time.monotonic()
        reads_then = len(self.board.frames("read"))
        time.sleep(3.0)  # three times what the station needs to see a board gone
        reads = len(self.board.frames("read")) - reads_then
        held = time.monotonic() - written
        self.assertNotIn("removed", run.text("err"))
        self.assertGreater(reads, 0, "the station stopped reading")
        self.assertLessEqual(reads, MOST_READS_PER_SECOND * held + 2)

        # Once it is gone, the next board is numbered.
        self.take_off()
        run.wait_for("err", "board 1 removed")
        self.connect(2)
        self.assertEqual(run.finish(), 0)
        self.assertEqual(self.writes(), {1: [write_request(5)] * 3, 2: [write_request(6)] * 3})
        self.assertNotIn(BELL, run.text("err"))
        boards = run.json_lines()
        self.assertEqual([(b["kind"], b.get("board"), b.get("previous_id"), b.get("current_id")) for b in boards],
                         [("board", 1, 0, 5), ("board", 2, 0, 6), ("summary", None, None, None)])
        self.assertEqual(boards[0]["write"]["verified_id"], 5)
        self.assertEqual(boards[2], {"kind": "summary", "command": "station", "port": self.link, "exit": 0,
                                     "numbered": [5, 6], "failed": [], "left": []})
        self.assertEqual(self.final_ids(), {1: 5, 2: 6})

    def test_a_board_removed_in_the_middle_of_its_write(self):
        run = self.station("--ids", "7-8", "--json", "--log", self.log)
        run.wait_for("err", PROMPT)
        self.connect(1, "unplug-after-writes=1")
        run.wait_for("out", "\n")
        # Already silent: the station sees it gone without anyone touching it.
        run.wait_for("err", "board 1 removed")
        self.connect(2)
        self.assertEqual(run.finish(), 4)

        first, second, summary = run.json_lines()
        self.assertEqual((first["id"], first["previous_id"], first["current_id"], first["outcome"], first["message"]),
                         (7, 0, None, "communication-failed", COMM_FAILED))
        self.assertEqual((second["id"], second["current_id"], second["exit"]), (8, 8, 0))
        self.assertEqual((summary["exit"], summary["numbered"], summary["failed"], summary["left"]), (4, [8], [7], []))
        self.assertEqual(run.text("err").count(BELL), 2)
        # The first pass reached the board, the second's ten attempts did not.
        self.assertEqual(self.writes(), {1: [write_request(7)] * 11, 2: [write_request(8)] * 3})
        self.assertEqual(self.log_rows(), [[self.link, "station", "7", COMM_FAILED + " " + MAY_HAVE_CHANGED, "4"],
                                           [self.link, "station", "8", SUCCEEDED, "0"]])
        self.assertEqual(self.final_ids(), {1: 7, 2: 8})

    def test_a_failed_write_is_not_tried_again_and_its_id_is_skipped(self):
        run = self.station("--ids", "20-21")
        run.wait_for("err", PROMPT)
        self.connect(1, "refuse-writes")
        run.wait_for("out", "\n")
        time.sleep(2.0)  # connected all the while: read, never written
        self.assertNotIn("removed", run.text("err"))
        self.take_off()
        run.wait_for("err", "board 1 removed")
        self.connect(2)
        self.assertEqual(run.finish(), 4)

        self.assertEqual(run.text("out").splitlines(), [
            "1\t0\t0\t" + COMM_FAILED + " " + MAY_HAVE_CHANGED + " (ID 20 failed)",
            "2\t0\t21\t" + SUCCEEDED,
            "numbered 1 of 2; failed: 20; left: none",
        ])
        self.assertEqual(self.writes(), {1: [write_request(20)], 2: [write_request(21)] * 3})
        self.assertEqual(self.final_ids(), {1: 0, 2: 21})

    def test_ctrl_c_while_waiting_ends_with_the_summary_and_the_signal(self):
        run = self.station("--ids", "1-3", "--json", "--log", self.log)
        run.wait_for("err", PROMPT)
        self.board.wait_for_frames("read", 1, timeout=WAIT)
        run.process.send_signal(signal.SIGINT)
        self.assertEqual(run.finish(), -signal.SIGINT)
        self.assertEqual(run.json_lines(), [{"kind": "summary", "command": "station", "port": self.link, "exit": 130,
                                             "numbered": [], "failed": [], "left": [1, 2, 3],
                                             "interrupted": True}])
        self.assertEqual(self.writes(), {})
        self.assertFalse(os.path.exists(self.log) and self.log_rows())

    def test_ctrl_c_after_a_board_names_the_ids_left(self):
        run = self.station("--ids", "1-3")
        run.wait_for("err", PROMPT)
        self.connect(1)
        run.wait_for("out", "\n")
        self.take_off()
        run.wait_for("err", "board 1 removed")
        run.process.send_signal(signal.SIGINT)
        self.assertEqual(run.finish(), -signal.SIGINT)
        self.assertEqual(run.text("out").splitlines()[-1], "numbered 1 of 3; failed: none; left: 2-3 (interrupted)")
        self.assertEqual(self.writes(), {1: [write_request(1)] * 3})

    def test_a_port_that_cannot_be_used_exits_3(self):
        missing = os.path.join(self.dir, "missing")
        run = Station(["--port", missing, "--ids", "1-2", "--json"])
        self.addCleanup(run.kill)
        self.assertEqual(run.finish(), 3)
        report = run.json_lines()
        self.assertEqual([(r["command"], r["outcome"], r["reason"]) for r in report],
                         [("station", "port-unavailable", "missing")])


class StationHelpTest(unittest.TestCase):
    def test_help_describes_the_station(self):
        completed = subprocess.run([ZEFA1ID, "--help"], capture_output=True, timeout=30)
        self.assertEqual(completed.returncode, 0)
        text = completed.stdout.decode("utf-8")
        for wanted in ("zefa1id station --ids FIRST-LAST --port PORT", PROMPT + " (board 1 of 8: ID 1)\n"
                       "  (please connect the next board)", "--quiet", "board 1 removed", "not given to another board"):
            self.assertIn(wanted, text)
        self.assertTrue(all(len(line) <= 80 for line in text.splitlines() if line.isascii()), text)


if __name__ == "__main__":
    unittest.main()
