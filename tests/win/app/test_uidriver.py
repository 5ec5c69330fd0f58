"""The UI driver against driver_window, a small window that reports each of
its events in a message box: what the driver does reaches the window as a
person's action would, and its checks fail when the window does not answer.
"""

import os
import unittest

from uidriver import UiDriver, win_path

WINDOW = win_path(os.environ["ZEFA_DRIVER_WINDOW"])


class UiDriverTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ui = UiDriver(os.environ["ZEFA_UIDRIVER"], os.environ["ZEFA_WINE_RUN"])

    @classmethod
    def tearDownClass(cls):
        cls.ui.close()

    def setUp(self):
        self.ui.cmd("launch", WINDOW)
        self.ui.cmd("wait-main", 10000)

    def tearDown(self):
        self.ui.try_cmd("kill")

    def reported(self):
        """The text of the next box, which is then confirmed."""
        return self.ui.cmd("press", "OK")["text"]

    def test_geometry_texts_and_fonts(self):
        window = self.ui.cmd("window")
        self.assertEqual(window["caption"], "driver test window")
        self.assertEqual(window["client_size"], [300, 200])
        label = self.ui.cmd("control", "Label1")
        self.assertEqual(label["rect"], [0, 170, 150, 16])
        self.assertEqual(label["text"], "ラベル")
        font = self.ui.cmd("font", "Label1")
        self.assertEqual((font["face"], font["height"], font["weight"], font["charset"], font["default"]),
                         ("ＭＳ Ｐゴシック", -16, 700, 128, False))
        self.assertTrue(self.ui.cmd("font", "ExitBtn")["default"])
        self.assertEqual(self.ui.cmd("control", "Button:終了")["id"], 108)
        self.assertEqual(self.ui.cmd("control", "#107")["text"], "write")
        self.assertFalse(self.ui.try_cmd("control", "Button:none")["ok"])

    def test_children_in_z_order_and_hints(self):
        children = self.ui.cmd("children")["children"]
        self.assertEqual([c["id"] for c in children], [101, 106, 107, 108, 110, 109])
        self.assertEqual([c["tabstop"] for c in children], [False] * 6)
        hints = self.ui.cmd("hints")["hints"]
        self.assertEqual(hints, [{"id": 110, "class": "ComboBox", "text": "ポートの説明"}])
        self.ui.cmd("mouse-move", "CommPort")
        self.assertEqual(self.ui.cmd("wait-tooltip", 5000)["text"], "ポートの説明")

    def test_pixels_are_what_the_window_shows(self):
        self.assertEqual(self.ui.cmd("pixels", "main", 200, 150, 8, 8)["rgb"], "ff0000" * 64)
        self.assertEqual(self.ui.cmd("pixels", "main", 220, 150, 8, 8)["rgb"], "00ff00" * 64)
        edge = self.ui.cmd("pixels", "main", 207, 157, 2, 1)["rgb"]
        self.assertEqual(edge[:6], "ff0000")
        self.assertNotEqual(edge[6:], "ff0000")

    def test_each_way_of_closing_a_list_is_a_close_up(self):
        steps = [
            (("choose", "CommPort", "COM3"), "closeup 110 3 ok"),
            (("choose", "CommPort", "3"), "closeup 110 3 ok"),  # the same item again
            (("choose", "ID_LIST", "25"), "closeup 109 25 ok"),  # scrolled into view first
            (("choose", "ID_LIST", "0"), "closeup 109 0 ok"),
        ]
        for command, report in steps:
            with self.subTest(command=command):
                self.assertEqual(self.ui.cmd(*command)["index"], int(report.split()[2]))
                self.assertEqual(self.reported(), report)
        for closing in ("escape", "click-away"):
            with self.subTest(closing=closing):
                self.ui.cmd("drop", "CommPort")
                self.assertEqual(self.ui.cmd(closing, "CommPort")["index"], 3)
                self.assertEqual(self.reported(), "closeup 110 3 cancel")

    def test_a_pointer_resting_where_the_list_opens_chooses_nothing(self):
        dropped = self.ui.cmd("drop", "CommPort")
        self.ui.cmd("escape", "CommPort")
        self.assertEqual(self.reported(), "closeup 110 0 cancel")
        left, top, width, _ = dropped["list"]
        # Where item 5 shows once the list is dropped again.
        self.ui.cmd("mouse-move", left + width // 2, top + dropped["item_height"] * 11 // 2)
        self.ui.cmd("drop", "CommPort")
        self.assertEqual(self.ui.cmd("escape", "CommPort")["index"], 0)
        self.assertEqual(self.reported(), "closeup 110 0 cancel")
        # Parked away from the program's windows.
        window = self.ui.cmd("window")["window"]
        x, y = self.ui.cmd("mouse-park")["pointer"]
        self.assertFalse(window[0] <= x < window[0] + window[2] and window[1] <= y < window[1] + window[3])

    def test_drop_counts_the_items_shown(self):
        for control, visible, count in (("CommPort", 21, 21), ("ID_LIST", 10, 32)):
            with self.subTest(control=control):
                dropped = self.ui.cmd("drop", control)
                self.assertEqual((dropped["visible_items"], dropped["count"], dropped["item_height"]),
                                 (visible, count, 12))
                self.ui.cmd("escape", control)
                self.reported()

    def test_set_selection_makes_no_close_up(self):
        self.assertEqual(self.ui.cmd("set-selection", "CommPort", 5)["index"], 5)
        self.ui.cmd("expect-no-box", 300)
        self.assertEqual(self.ui.cmd("selection", "CommPort"), {"ok": True, "index": 5, "text": "COM5"})
        self.assertEqual(self.ui.cmd("set-selection", "CommPort", -1)["index"], -1)
        items = self.ui.cmd("items", "ID_LIST")
        self.assertEqual(items["items"], [str(i) for i in range(32)])
        self.assertEqual((items["selected"], items["item_height"]), (0, 12))

    def test_serviced_window_answers_and_repaints(self):
        self.ui.cmd("click", "ReadBtn")
        self.ui.cmd("ping", 300)
        self.ui.cmd("repaint", "main", 300)
        self.ui.cmd("expect-no-box", 50)
        self.assertEqual(self.reported(), "done")

    def test_blocked_window_fails_ping_and_repaint(self):
        self.ui.cmd("click", "WriteBtn")
        self.assertIn("did not answer", self.ui.try_cmd("ping", 300)["error"])
        self.assertIn("time-out", self.ui.try_cmd("repaint", "main", 300)["error"])
        self.assertEqual(self.reported(), "blocked")

    def test_no_click_or_drop_on_a_window_behind_a_box(self):
        self.ui.cmd("click", "ReadBtn")
        self.assertEqual(self.ui.cmd("wait-box")["owner_class"], "TForm1")
        self.assertIn("disabled", self.ui.try_cmd("click", "WriteBtn")["error"])
        self.assertIn("disabled", self.ui.try_cmd("choose", "CommPort", "COM2")["error"])
        self.assertEqual(self.reported(), "done")
        self.ui.cmd("expect-no-box", 300)

    def test_close_box_and_exit_button_end_the_program(self):
        self.ui.cmd("close")
        self.assertEqual(self.ui.cmd("wait-exit")["exit_code"], 7)
        self.ui.cmd("launch", WINDOW)
        self.ui.cmd("wait-main", 10000)
        self.ui.cmd("mouse-click", "ExitBtn")
        self.assertEqual(self.ui.cmd("wait-exit")["exit_code"], 0)

    def test_waits_end_with_an_error(self):
        self.assertIn("time-out", self.ui.try_cmd("wait-box", 200)["error"])
        self.assertIn("time-out", self.ui.try_cmd("wait-exit", 200)["error"])
        self.ui.cmd("kill")
        self.assertIn("program ended", self.ui.try_cmd("wait-box", 2000)["error"])


if __name__ == "__main__":
    unittest.main()
