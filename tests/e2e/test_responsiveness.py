"""The window while an exchange waits for the board: it repaints, answers
and lets the port list be worked; a second press starts nothing; a port
chosen meanwhile ends the waiting attempt."""

import sys
import unittest

from e2e import CLOSED, COMM_FAILED, ERROR, INFORMATION, READ_OK, WRITE_OK, ProgramTestCase, port_set_up

# Each pass of a write is answered on its tenth attempt only: nine receive
# time-outs per pass, close to a second for the whole write.
SLOW = ["from-attempt=10"]


class ResponsivenessTest(ProgramTestCase):
    def setUp(self):
        super().setUp()
        self.board1 = self.board(1, id=7, modes=SLOW)
        self.write_ini(b"[ZEFA_ID]\r\nCommPort=1\r\n\r\n")
        self.start(port_set_up(1))
        self.ui.cmd("set-selection", "ID_LIST", 5)

    def start_slow_write(self):
        self.board1.set_modes(SLOW)  # its counts start again
        self.board1.clear_log()
        self.ui.cmd("click", "WriteBtn")
        self.board1.wait_for_frames("write", 1)

    def test_window_repaints_and_answers_during_an_exchange(self):
        def case():
            self.start_slow_write()
            self.ui.cmd("ping", 1000)
            self.ui.cmd("repaint", "main", 1000)
            self.ui.cmd("repaint", "ReadBtn", 1000)
            # All of it within the exchange: its outcome is yet to come.
            self.ui.cmd("expect-no-box", 0)
            self.assertLess(len(self.board1.frames("write")), 30)
            self.expect_box(WRITE_OK, INFORMATION)
            self.assertEqual(len(self.board1.frames("write")), 30)
        self.repeat_if_disturbed(case, [self.board1])

    def test_a_press_during_an_exchange_starts_nothing(self):
        def case():
            self.start_slow_write()
            for button in ("ReadBtn", "WriteBtn", "ReadBtn"):
                # Pressed, ignored or refused while disabled: never a second
                # exchange inside the first.
                self.ui.try_cmd("click", button)
            self.expect_box(WRITE_OK, INFORMATION)
            self.ui.cmd("expect-no-box", 500)
            self.assertEqual(self.board1.frames("read"), [])
            writes = self.board1.frames("write")
            self.assertEqual([f.bytes for f in writes], [b"\xff\x5a\x05\x5e"] * 30)
        self.repeat_if_disturbed(case, [self.board1])

    def test_port_list_works_during_an_exchange(self):
        self.start_slow_write()
        # Closing the port ends the waiting attempt; the write goes on with
        # the port closed and fails at once.
        self.ui.cmd("choose", "CommPort", "OFF")
        self.expect_box(CLOSED, INFORMATION)
        sent = len(self.board1.frames("write"))
        self.expect_box(COMM_FAILED, ERROR)
        self.assertEqual(len(self.board1.frames("write")), sent)
        self.assertLess(sent, 30)
        self.ui.cmd("ping", 1000)

    def test_another_port_chosen_during_an_exchange_takes_over(self):
        board2 = self.board(2, id=11)
        try:
            self.take_over_by(board2)
        except AssertionError:
            self.print_logs([self.board1, board2])
            raise

    def take_over_by(self, board2):
        request = b"\xff\x5a\x05\x5e"
        for run in range(1, 4):
            board2.clear_log()
            # The choice has the whole slow write, close to a second, to land in.
            self.start_slow_write()
            self.ui.try_cmd("choose", "CommPort", "COM2")  # refused once the outcome's box is up
            boxes = self.dismiss_boxes()
            on_board1 = len(self.board1.frames("write"))
            passes_on_board1 = len(self.board1.frames("answer"))
            if not board2.frames() and on_board1 % 10 == 0:
                # The choice came only in or after the last attempt of a
                # pass, which then had none left, or after the whole write:
                # nothing could go on on COM2.
                self.assertIn(WRITE_OK if passes_on_board1 == 3 else COMM_FAILED, boxes)
                self.assertLess(run, 3, "the choice of COM2 never landed within a pass")
                sys.stderr.write("run %d: the choice of COM2 came after a pass's last attempt; again\n" % run)
                self.choose_port("COM1", port_set_up(1), INFORMATION)
                continue
            # The attempts left ran on COM2, where a board answers at once:
            # one request for each pass that board 1 had not answered.
            self.assertEqual(boxes, [port_set_up(2), WRITE_OK])
            self.assertLess(on_board1, 10 * (passes_on_board1 + 1))
            on_board2 = [f.bytes for f in board2.frames("write")]
            disturbance = board2.timing_disturbance(passes_done=passes_on_board1)
            if len(on_board2) != 3 - passes_on_board1 and disturbance and run < 3:
                # An answer did not reach the program in time and its attempt was repeated.
                sys.stderr.write("run %d: %s; again\n" % (run, disturbance))
                self.choose_port("COM1", port_set_up(1), INFORMATION)
                continue
            self.assertEqual(on_board2, [request] * (3 - passes_on_board1))
            break
        self.ui.cmd("click", "ReadBtn")
        self.expect_box(READ_OK, INFORMATION)
        self.assertEqual(self.selected("ID_LIST"), 5)

if __name__ == "__main__":
    unittest.main()
