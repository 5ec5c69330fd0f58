"""The window while an exchange waits for the board: it repaints, answers
and lets the port list be worked; a second press starts nothing; a port
chosen meanwhile ends the waiting attempt."""

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
        self.board1.clear_log()
        self.ui.cmd("click", "WriteBtn")
        self.board1.wait_for_frames("write", 1)

    def test_window_repaints_and_answers_during_an_exchange(self):
        self.start_slow_write()
        self.ui.cmd("ping", 1000)
        self.ui.cmd("repaint", "main", 1000)
        self.ui.cmd("repaint", "ReadBtn", 1000)
        # All of it within the exchange: its outcome is yet to come.
        self.ui.cmd("expect-no-box", 0)
        self.assertLess(len(self.board1.frames("write")), 30)
        self.expect_box(WRITE_OK, INFORMATION)
        self.assertEqual(len(self.board1.frames("write")), 30)

    def test_a_press_during_an_exchange_starts_nothing(self):
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
        self.start_slow_write()
        self.ui.cmd("choose", "CommPort", "COM2")
        self.expect_box(port_set_up(2), INFORMATION)
        # The attempts left run on COM2, where a board answers at once.
        self.expect_box(WRITE_OK, INFORMATION)
        self.assertLess(len(self.board1.frames("write")), 30)
        self.assertGreaterEqual(len(board2.frames("write")), 1)
        self.ui.cmd("click", "ReadBtn")
        self.expect_box(READ_OK, INFORMATION)
        self.assertEqual(self.selected("ID_LIST"), 5)

if __name__ == "__main__":
    unittest.main()
