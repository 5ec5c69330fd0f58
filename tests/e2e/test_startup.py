"""Start-up, the port list and leaving the program, through the real window."""

import unittest

from e2e import (CLOSED, COMM_FAILED, INFORMATION, READ_OK, WARNING, ERROR, ProgramTestCase,
                 port_set_up, port_unusable)

# No link is ever made for this port: opening it fails.
NO_DEVICE = 9


class StartUpTest(ProgramTestCase):
    def test_first_start_without_settings_file(self):
        self.launch()
        box = self.expect_box(CLOSED, INFORMATION, timeout_ms=self.START_TIMEOUT_MS)
        # The box of the port choice comes before the window.
        self.assertFalse(box["main_visible"], box)
        self.assertEqual(box["owner_class"], "ZefaApplicationWindow")
        self.ui.cmd("wait-main", self.START_TIMEOUT_MS)
        self.assertEqual(self.ui.cmd("selection", "CommPort"), {"ok": True, "index": 0, "text": "OFF"})
        self.assertEqual(self.selected("ID_LIST"), 0)
        self.assertEqual(self.ini(), b"")

    def test_saved_port_is_opened_at_start(self):
        board = self.board(2, id=12)
        self.write_ini(b"[ZEFA_ID]\r\nCommPort=2\r\n\r\n")
        self.start(port_set_up(2))
        self.assertEqual(self.selected("CommPort"), 2)
        self.press_button("ReadBtn", READ_OK, INFORMATION)
        self.assertEqual(self.selected("ID_LIST"), 12)
        self.assertEqual([f.bytes for f in board.frames("read")], [b"\xfe\x7e"])

    def test_port_without_device(self):
        self.start(CLOSED)
        self.choose_port("COM%d" % NO_DEVICE, port_unusable(NO_DEVICE), WARNING)
        # The list keeps the failed choice; the port is closed.
        self.assertEqual(self.selected("CommPort"), NO_DEVICE)
        self.press_button("ReadBtn", COMM_FAILED, ERROR)

    def test_each_close_up_applies_the_choice_again(self):
        board = self.board(2)
        self.start(CLOSED)
        self.choose_port("COM2", port_set_up(2), INFORMATION)
        # The same item again, Escape and a click elsewhere: each closes and
        # reopens the port and says so.
        self.choose_port("COM2", port_set_up(2), INFORMATION)
        for closing in ("escape", "click-away"):
            with self.subTest(closing=closing):
                self.ui.cmd("drop", "CommPort")
                self.assertEqual(self.ui.cmd(closing, "CommPort")["index"], 2)
                self.expect_box(port_set_up(2), INFORMATION)
        # Reopened, the port works.
        self.press_button("ReadBtn", READ_OK, INFORMATION)
        self.assertEqual(len(board.frames("read")), 1)
        # With OFF, every close-up says the port is closed.
        self.choose_port("OFF", CLOSED, INFORMATION)
        self.choose_port("OFF", CLOSED, INFORMATION)
        self.ui.cmd("drop", "CommPort")
        self.ui.cmd("escape", "CommPort")
        self.expect_box(CLOSED, INFORMATION)

    def test_a_choice_without_close_up_takes_effect_at_the_next_one(self):
        board = self.board(2)
        self.start(CLOSED)
        self.ui.cmd("set-selection", "CommPort", 2)
        self.ui.cmd("expect-no-box", 300)
        self.press_button("ReadBtn", COMM_FAILED, ERROR)
        self.assertEqual(board.frames("read"), [])
        self.ui.cmd("drop", "CommPort")
        self.ui.cmd("escape", "CommPort")
        self.expect_box(port_set_up(2), INFORMATION)
        self.press_button("ReadBtn", READ_OK, INFORMATION)

    def test_saved_index_outside_the_list_tries_port_minus_one(self):
        self.write_ini(b"[ZEFA_ID]\r\nCommPort=99\r\n")
        self.start(port_unusable(-1), WARNING)
        self.assertEqual(self.ui.cmd("selection", "CommPort"), {"ok": True, "index": -1, "text": ""})
        self.exit_program()
        self.assertEqual(self.ini(), b"[ZEFA_ID]\r\nCommPort=-1\r\n\r\n")

    def test_exit_after_a_failed_choice_saves_it_and_the_next_start_tries_it(self):
        self.start(CLOSED)
        self.choose_port("COM%d" % NO_DEVICE, port_unusable(NO_DEVICE), WARNING)
        self.exit_program()
        self.assertEqual(self.ini(), b"[ZEFA_ID]\r\nCommPort=%d\r\n\r\n" % NO_DEVICE)
        self.start(port_unusable(NO_DEVICE), WARNING)
        self.assertEqual(self.selected("CommPort"), NO_DEVICE)

    def test_close_box_saves_nothing(self):
        self.board(2)
        self.write_ini(b"[ZEFA_ID]\r\nCommPort=2\r\n\r\n")
        self.start(port_set_up(2))
        self.choose_port("OFF", CLOSED, INFORMATION)
        self.close_program()
        self.assertEqual(self.ini(), b"[ZEFA_ID]\r\nCommPort=2\r\n\r\n")
        self.start(port_set_up(2))

    def test_exit_button_saves_the_port_shown(self):
        self.board(3)
        self.start(CLOSED)
        self.choose_port("COM3", port_set_up(3), INFORMATION)
        self.exit_program()
        self.assertEqual(self.ini(), b"[ZEFA_ID]\r\nCommPort=3\r\n\r\n")


TITLE = "ZEFA1 ID Programmer"
WS_EX_TOOLWINDOW = 0x80
WS_EX_APPWINDOW = 0x40000


class TaskbarButtonTest(ProgramTestCase):
    """The styles behind the task-bar button, read back from the running
    program: one button, titled with the application's title, from the
    start-up box on."""

    def windows(self):
        listed = self.ui.cmd("windows")
        by_class = {}
        for window in listed["windows"]:
            if window["visible"]:
                by_class.setdefault(window["class"], []).append(window)
        return listed["taskbar"], by_class

    def assert_button_window(self, window):
        self.assertEqual(window["caption"], TITLE)
        self.assertEqual(window["owner_class"], "")
        self.assertEqual(int(window["exstyle"], 16) & WS_EX_TOOLWINDOW, 0, window)

    def assert_owned(self, window):
        self.assertEqual(window["owner_class"], "ZefaApplicationWindow", window)
        self.assertEqual(int(window["exstyle"], 16) & WS_EX_APPWINDOW, 0, window)

    def test_one_button_from_the_start_up_box_on(self):
        self.launch()
        self.ui.cmd("wait-box", self.START_TIMEOUT_MS)
        # Before the main window shows: the box's owner is the button.
        buttons, shown = self.windows()
        self.assertEqual(buttons, [TITLE], shown)
        self.assertNotIn("TForm1", shown)
        self.assert_button_window(shown["ZefaApplicationWindow"][0])
        self.assert_owned(shown["#32770"][0])
        self.ui.cmd("press", "OK")
        self.ui.cmd("wait-main", self.START_TIMEOUT_MS)

        # With the main window: still that one button, the window has none.
        buttons, shown = self.windows()
        self.assertEqual(buttons, [TITLE], shown)
        self.assert_button_window(shown["ZefaApplicationWindow"][0])
        self.assert_owned(shown["TForm1"][0])
        self.assertEqual(shown["TForm1"][0]["caption"], TITLE)

        # And with a box over the main window.
        self.ui.cmd("click", "ReadBtn")
        self.ui.cmd("wait-box")
        buttons, shown = self.windows()
        self.assertEqual(buttons, [TITLE], shown)
        self.assert_owned(shown["#32770"][0])
        self.ui.cmd("press", "OK")


if __name__ == "__main__":
    unittest.main()
