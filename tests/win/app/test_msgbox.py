"""MsgBox under Wine: real boxes read back and pressed through the UI driver.

Each case starts msgbox_probe, which shows one box through MsgBox and exits
with MsgBox's result.
"""

import os
import unittest

from uidriver import UiDriver, win_path

PROBE = win_path(os.environ["ZEFA_MSGBOX_PROBE"])
APPLICATION_WINDOW = "ZefaApplicationWindow"

# kind, language: caption, icon
KINDS = [
    (0, 0, "警告", "warning"),
    (1, 0, "情報", "information"),
    (2, 0, "確認", "question"),
    (3, 0, "エラー", "error"),
    (4, 0, "", "none"),
    (255, 0, "", "none"),
    (0, 1, "Warning", "warning"),
    (1, 1, "Information", "information"),
    (2, 1, "Question", "question"),
    (3, 1, "Error", "error"),
    (4, 1, "", "none"),
]

# button code: buttons shown, buttons pressed in turn, MsgBox's result
BUTTON_SETS = [
    (0, {"Abort", "Retry", "Ignore"}, ["Ignore"], 5),
    (1, {"OK", "Help"}, ["Help", "OK"], 1),  # Help leaves the box up
    (2, {"OK"}, ["OK"], 1),
    (3, {"OK", "Cancel"}, ["Cancel"], 2),
    (4, {"Retry", "Cancel"}, ["Retry"], 4),
    (5, {"Yes", "No"}, ["No"], 7),
    (6, {"Yes", "No", "Cancel"}, ["Yes"], 6),
    (7, {"OK"}, ["OK"], 1),
    (255, {"OK"}, ["OK"], 1),
]

# message number, text argument: text shown
TEXTS = [
    (0, "通信に失敗しました", "通信に失敗しました"),
    (0, "", ""),
    (1, "ignored", "DATA NAMEの変更ができます"),
    (1, "", "DATA NAMEの変更ができます"),
]


class MsgBoxTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ui = UiDriver(os.environ["ZEFA_UIDRIVER"], os.environ["ZEFA_WINE_RUN"])

    @classmethod
    def tearDownClass(cls):
        cls.ui.close()

    def show(self, kind, buttons, message_no, language, text, *extra):
        self.ui.cmd("launch", PROBE, kind, buttons, message_no, language, text, *extra)
        return self.ui.cmd("wait-box", 10000)

    def press(self, *buttons):
        """Presses the buttons in turn; MsgBox's result."""
        for button in buttons:
            self.ui.cmd("press", button)
        return self.ui.cmd("wait-exit", 5000)["exit_code"]

    def tearDown(self):
        # A failed case must not leave its box for the next one.
        self.ui.try_cmd("kill")

    def test_kind_chooses_caption_and_icon_in_the_language(self):
        for kind, language, caption, icon in KINDS:
            with self.subTest(kind=kind, language=language):
                box = self.show(kind, 2, 0, language, "text")
                self.assertEqual(box["caption"], caption)
                self.assertEqual(box["icon"], icon)
                self.assertEqual(box["text"], "text")
                self.assertEqual([b["name"] for b in box["buttons"]], ["OK"])
                self.assertEqual(self.press("OK"), 1)

    def test_button_set_and_the_result_of_the_button_pressed(self):
        for code, shown, presses, result in BUTTON_SETS:
            with self.subTest(buttons=code):
                box = self.show(1, code, 0, 0, "text")
                self.assertEqual({b["name"] for b in box["buttons"]}, shown)
                self.assertEqual(self.press(*presses), result)

    def test_message_number_chooses_the_text(self):
        for message_no, argument, shown in TEXTS:
            with self.subTest(message_no=message_no, text=argument):
                box = self.show(1, 2, message_no, 0, argument)
                self.assertEqual(box["text"], shown)
                self.assertEqual(box["caption"], "情報")
                self.assertEqual(self.press("OK"), 1)

    def test_box_is_owned_by_the_application_window(self):
        box = self.show(3, 2, 0, 0, "text")
        self.assertEqual(box["owner_class"], APPLICATION_WINDOW)
        self.assertEqual(self.press("OK"), 1)

    def test_box_shows_before_the_application_exists(self):
        box = self.show(0, 5, 0, 0, "早すぎ", "--no-application")
        self.assertEqual(box["caption"], "警告")
        self.assertEqual(box["text"], "早すぎ")
        self.assertEqual(box["owner_class"], "")
        self.assertEqual(self.press("Yes"), 6)


if __name__ == "__main__":
    unittest.main()
