"""Leaving the program, or closing its port, while an exchange is under way.

The exchange runs to its end on the port it began on and shows its outcome
over the main window; only then is the exit (settings saved) or the close
(settings kept) carried out. OFF from the port list ends the waiting attempt
and the program stays. The second action is posted together with the press
of the button, so it reaches the program inside the exchange whatever the
machine's load.
"""

import contextlib
import unittest

from e2e import (CLOSED, COMM_FAILED, ERROR, INFORMATION, WRITE_OK, ProgramTestCase, port_set_up)

SILENT = ["silent"]
# Each pass of a write is answered on its tenth attempt only: close to a
# second for the whole write.
SLOW = ["from-attempt=10"]

SAVED = b"[ZEFA_ID]\r\nCommPort=1\r\n"
# What the start leaves of it.
AT_START = b"[ZEFA_ID]\r\nCommPort=1\r\n\r\n"
# The list shows COM3 (chosen without a close-up) while COM1 is in use: a
# save stores 3.
SAVED_BY_EXIT = b"[ZEFA_ID]\r\nCommPort=3\r\n\r\n"
WRITE_5 = b"\xff\x5a\x05\x5e"

# From the press to the outcome box: the longest exchange here takes about
# a second, the silent ones about 0.4 s; fifteen times that keeps on a
# loaded machine.
OUTCOME_MS = 15000
# From the press of the box's OK to the program's end: about 0.5 s.
END_MS = 15000

# name, board modes, button, the requests an uncut exchange sends, its outcome
EXCHANGES = [
    ("read on a silent board", SILENT, "ReadBtn", [b"\xfe\x7e"] * 10, (COMM_FAILED, ERROR)),
    ("write on a silent board", SILENT, "WriteBtn", [WRITE_5] * 10, (COMM_FAILED, ERROR)),
    ("write on a slow board", SLOW, "WriteBtn", [WRITE_5] * 30, (WRITE_OK, INFORMATION)),
]


class LeavingDuringAnExchangeTest(ProgramTestCase):
    @contextlib.contextmanager
    def started(self, modes):
        """The program on COM1 with a board in these modes; ended afterwards,
        so that the next case of a table begins afresh."""
        self.board1 = self.board(1, id=7, modes=modes)
        self.write_ini(SAVED)
        try:
            self.start(port_set_up(1))
            self.assertEqual(self.ini(), AT_START)
            self.ui.cmd("set-selection", "ID_LIST", 5)
            self.ui.cmd("set-selection", "CommPort", 3)
            self.board1.clear_log()
            yield
        finally:
            self.ui.try_cmd("kill")
            self.board1.stop()

    def expect_outcome(self, outcome, requests):
        """The exchange's one outcome box, over the visible main window, after
        the whole exchange went out on the port it began on."""
        box = self.ui.cmd("wait-box", OUTCOME_MS)
        self.assertTrue(box["main_visible"], box)
        self.assertEqual(box["boxes"], 1, box)
        sent = [f.bytes for f in self.board1.frames() if f.direction == "rx"]
        shown = (box["text"], box["caption"], box["icon"])
        disturbance = self.board1.timing_disturbance()
        if outcome[0] == WRITE_OK and disturbance and shown == (COMM_FAILED,) + ERROR:
            # A pass was answered only after the program's 30 ms had gone
            # by: that pass failed, and the program says so.
            self.assertLess(len(sent), len(requests) + 1, disturbance)
            return box
        self.assertEqual(shown, (outcome[0],) + outcome[1], box)
        self.assertEqual(sent, requests)
        return box

    def expect_end(self):
        """OK on the outcome box; the program then ends by itself."""
        self.ui.cmd("press", "OK")
        self.assertEqual(self.ui.cmd("wait-exit", END_MS)["exit_code"], 0)

    def test_exit_waits_for_the_outcome_then_saves_and_ends(self):
        for name, modes, button, requests, outcome in EXCHANGES:
            with self.subTest(name), self.started(modes):
                self.ui.cmd("click-then", button, "click", "ExitBtn")
                # Pressed again, or the close box, meanwhile: the exit stays
                # as first asked. Once the outcome box is up the window
                # refuses the press.
                self.ui.try_cmd("click", "ExitBtn")
                self.ui.try_cmd("close")
                self.expect_outcome(outcome, requests)
                self.expect_end()
                self.assertEqual(self.ini(), SAVED_BY_EXIT)

    def test_close_box_waits_for_the_outcome_then_ends_without_saving(self):
        for name, modes, button, requests, outcome in EXCHANGES:
            with self.subTest(name), self.started(modes):
                self.ui.cmd("click-then", button, "close")
                # The exit button meanwhile does not turn the close into an
                # exit that saves.
                self.ui.try_cmd("click", "ExitBtn")
                self.ui.try_cmd("close")
                self.expect_outcome(outcome, requests)
                self.expect_end()
                self.assertEqual(self.ini(), AT_START)

    def test_off_during_an_exchange_ends_it_and_the_program_stays(self):
        for name, modes, button, requests, _ in EXCHANGES:
            with self.subTest(name), self.started(modes):
                self.ui.cmd("set-selection", "CommPort", 0)
                self.ui.cmd("click-then", button, "close-up", "CommPort")
                closed = self.ui.cmd("wait-box", OUTCOME_MS)
                self.assertEqual(closed["text"], CLOSED, closed)
                self.assertTrue(closed["main_visible"], closed)
                self.ui.cmd("press", "OK")
                # The attempts left find the port closed and end at once.
                failed = self.ui.cmd("wait-box", OUTCOME_MS)
                self.assertEqual((failed["text"], failed["caption"], failed["icon"]),
                                 (COMM_FAILED,) + ERROR, failed)
                self.assertTrue(failed["main_visible"], failed)
                self.ui.cmd("press", "OK")
                sent = [f for f in self.board1.frames() if f.direction == "rx"]
                self.assertLess(len(sent), len(requests))
                # The program stays, and answers.
                self.ui.cmd("expect-no-box", 500)
                self.ui.cmd("ping", 2000)
                self.assertTrue(self.ui.cmd("window")["enabled"])
                self.assertEqual(self.ini(), AT_START)

    def test_end_of_session_waits_for_the_outcome_then_closes(self):
        with self.started(SLOW):
            # Asked while the write waits for the board, and again while its
            # outcome box is up: refused both times; then the program closes
            # as by its close box.
            self.ui.cmd("click", "WriteBtn")
            self.board1.wait_for_frames("write", 1)
            session = self.ui.cmd("end-session", 5000)
            self.assertEqual((session["agreed"], session["refused_by"]), (False, ["TForm1"]), session)
            self.expect_outcome((WRITE_OK, INFORMATION), [WRITE_5] * 30)
            session = self.ui.cmd("end-session", 5000)
            self.assertFalse(session["agreed"], session)
            self.expect_end()
            self.assertEqual(self.ini(), AT_START)

    def test_end_of_session_is_agreed_to_with_no_exchange(self):
        with self.started(SILENT):
            session = self.ui.cmd("end-session", 5000)
            self.assertEqual((session["agreed"], session["refused_by"]), (True, []), session)
            self.ui.cmd("expect-no-box", 500)


if __name__ == "__main__":
    unittest.main()
