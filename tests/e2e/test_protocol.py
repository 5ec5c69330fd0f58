"""Every outcome of a read and of a write, through the real window against
a simulated board, with what reached the line read from the board's log."""

import unittest

from e2e import (COMM_FAILED, ERROR, INFORMATION, READ_OK, SET_AGAIN, WRITE_FAILED, WRITE_OK, CLOSED,
                 ProgramTestCase, port_set_up)

READ_REQUEST = b"\xfe\x7e"
# The ID list shows this before each case; it stays unless a read sets it.
MARK = 3

# board modes: text, caption and icon, ID list afterwards, read requests sent
READS = [
    (["id=5"], READ_OK, INFORMATION, 5, 1),
    (["report-id=32"], SET_AGAIN, ERROR, MARK, 1),
    (["report-id=255"], SET_AGAIN, ERROR, MARK, 1),
    (["read-mismatch"], COMM_FAILED, ERROR, MARK, 1),  # not retried
    (["silent"], COMM_FAILED, ERROR, MARK, 10),
    (["one-byte"], COMM_FAILED, ERROR, MARK, 10),
    (["id=9", "from-attempt=10"], READ_OK, INFORMATION, 9, 10),  # never an eleventh
    (["id=17", "extra=3"], READ_OK, INFORMATION, 17, 1),
    # The extra bytes of the last answer are purged before this one.
    (["id=4"], READ_OK, INFORMATION, 4, 1),
]


def write_request(board_id):
    return bytes([0xFF, 0x5A, board_id, (0xFF + 0x5A + board_id) % 128])


# board modes, ID selected: text, caption and icon, write requests sent
WRITES = [
    ([], 5, WRITE_OK, INFORMATION, 3),
    ([], 0, WRITE_OK, INFORMATION, 3),
    ([], 31, WRITE_OK, INFORMATION, 3),
    (["refuse-writes"], 6, COMM_FAILED, ERROR, 1),  # one pass, not retried
    (["silent"], 6, COMM_FAILED, ERROR, 10),  # the first pass only
    (["one-byte"], 6, COMM_FAILED, ERROR, 10),
    (["write-echo=9", "write-echo-pass=3"], 6, WRITE_FAILED, ERROR, 3),
    (["write-echo=9", "write-echo-pass=1"], 6, WRITE_OK, INFORMATION, 3),
    (["write-echo=9", "write-echo-pass=2"], 6, WRITE_OK, INFORMATION, 3),
    (["from-attempt=10"], 6, WRITE_OK, INFORMATION, 30),
]


class OutcomeTest(ProgramTestCase):
    def setUp(self):
        super().setUp()
        self.board1 = self.board(1, id=7)
        self.write_ini(b"[ZEFA_ID]\r\nCommPort=1\r\n\r\n")
        self.start(port_set_up(1))

    def run_case(self, modes, button, text, caption_icon):
        self.board1.set_modes(modes)
        self.board1.clear_log()
        self.ui.cmd("click", button)
        return self.expect_box(text, caption_icon)

    # The box comes only once the exchange has ended, so the board's log
    # then holds every request it was sent.

    def test_read_outcomes(self):
        for modes, text, caption_icon, listed, requests in READS:
            with self.subTest(modes=modes):
                def case():
                    self.ui.cmd("set-selection", "ID_LIST", MARK)
                    box = self.run_case(modes, "ReadBtn", text, caption_icon)
                    self.assertEqual(self.selected("ID_LIST"), listed)
                    self.assertEqual([f.bytes for f in self.board1.frames("read")], [READ_REQUEST] * requests)
                    self.assertEqual(self.board1.frames("write"), [])
                    if modes == ["silent"]:
                        # Ten receive time-outs of 30 ms, give or take a loaded machine.
                        self.assertGreaterEqual(box["click_to_box_ms"], 250)
                        self.assertLess(box["click_to_box_ms"], 5000)
                self.repeat_if_disturbed(case, [self.board1])

    def test_write_outcomes(self):
        for modes, selected, text, caption_icon, requests in WRITES:
            with self.subTest(modes=modes, selected=selected):
                def case():
                    self.ui.cmd("set-selection", "ID_LIST", selected)
                    self.run_case(modes, "WriteBtn", text, caption_icon)
                    self.assertEqual(self.selected("ID_LIST"), selected)
                    self.assertEqual([f.bytes for f in self.board1.frames("write")],
                                     [write_request(selected)] * requests)
                    self.assertEqual(self.board1.frames("read"), [])
                self.repeat_if_disturbed(case, [self.board1])

    def test_written_id_reads_back(self):
        self.ui.cmd("set-selection", "ID_LIST", 21)
        self.run_case([], "WriteBtn", WRITE_OK, INFORMATION)
        self.ui.cmd("set-selection", "ID_LIST", 0)
        self.run_case([], "ReadBtn", READ_OK, INFORMATION)
        self.assertEqual(self.selected("ID_LIST"), 21)
        # A refused write leaves the board as it was.
        self.ui.cmd("set-selection", "ID_LIST", 8)
        self.run_case(["refuse-writes"], "WriteBtn", COMM_FAILED, ERROR)
        self.run_case([], "ReadBtn", READ_OK, INFORMATION)
        self.assertEqual(self.selected("ID_LIST"), 21)

    def test_port_off_fails_at_once_and_sends_nothing(self):
        self.ui.cmd("choose", "CommPort", "OFF")
        self.expect_box(CLOSED, INFORMATION)
        self.board1.clear_log()
        for button in ("ReadBtn", "WriteBtn"):
            with self.subTest(button=button):
                self.ui.cmd("set-selection", "ID_LIST", MARK)
                self.ui.cmd("click", button)
                box = self.expect_box(COMM_FAILED, ERROR)
                # No receive time-out is waited for on a closed port.
                self.assertLess(box["click_to_box_ms"], 2000)
                self.assertEqual(self.selected("ID_LIST"), MARK)
        self.assertEqual(self.board1.frames(), [])


if __name__ == "__main__":
    unittest.main()
