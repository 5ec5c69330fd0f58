"""The main window as laid out: geometry, texts, fonts and lists read back
from the running window, the arrows and the banner as the screen shows
them, and screenshots for a person to look at."""

import os
import struct
import unittest

from e2e import CLOSED, INFORMATION, ProgramTestCase, screenshot

WINDOW_FONT = ("ＭＳ Ｐゴシック", -12, 400)

# control: left, top, width, height; text; font face, height (lfHeight, so
# -N for N pixels), weight
CONTROLS = {
    "Label1": ((0, 0, 506, 16), "ＩＤを読み書きする場合は、ZEFA-1とパソコンを１対１で接続してください",
               ("ＭＳ Ｐゴシック", -16, 700)),
    "Label2": ((224, 29, 15, 15), "ＩＤ", ("ＭＳ Ｐゴシック", -15, 400)),
    "Image1": ((168, 32, 48, 48), None, None),
    "Image2": ((288, 32, 48, 48), None, None),
    "Label3": ((3, 102, 38, 13), "COMM", ("MS UI Gothic", -13, 400)),
    "ReadBtn": ((40, 24, 121, 65), "現在のＩＤを読み取る", WINDOW_FONT),
    "WriteBtn": ((344, 24, 121, 65), "指定のＩＤを書き込む", WINDOW_FONT),
    "ExitBtn": ((432, 110, 75, 25), "終了", WINDOW_FONT),
    "ID_LIST": ((224, 49, 57, 27), "0", ("ＭＳ Ｐゴシック", -19, 700)),
    "CommPort": ((0, 115, 69, 20), "OFF", WINDOW_FONT),
}
TAB_ORDER = [106, 107, 108, 109, 110]
SHIFTJIS_CHARSET = 128
HINT = "使用するシリアルポートの番号を設定します"

LIME, BLACK, MAGENTA = "00ff00", "000000", "ff00ff"


def read_bmp(path):
    """The pixels of an uncompressed 4-bit bitmap as rows of "rrggbb"."""
    with open(path, "rb") as f:
        data = f.read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    assert bits == 4, "expected 4 bits per pixel"
    palette = ["%02x%02x%02x" % (data[54 + 4 * i + 2], data[54 + 4 * i + 1], data[54 + 4 * i])
               for i in range(16)]
    stride = (width * 4 + 31) // 32 * 4
    rows = []
    for y in range(abs(height)):
        line = offset + (abs(height) - 1 - y if height > 0 else y) * stride
        row = []
        for x in range(width):
            byte = data[line + x // 2]
            row.append(palette[byte >> 4 if x % 2 == 0 else byte & 0xF])
        rows.append(row)
    return rows


def as_rows(pixels):
    hex_ = pixels["rgb"]
    width = pixels["width"]
    cells = [hex_[i:i + 6] for i in range(0, len(hex_), 6)]
    return [cells[y * width:(y + 1) * width] for y in range(pixels["height"])]


class LayoutTest(ProgramTestCase):
    def setUp(self):
        super().setUp()
        self.start(CLOSED, INFORMATION)

    def test_main_window(self):
        window = self.ui.cmd("window")
        self.assertEqual(window["caption"], "ZEFA1 ID Programmer")
        self.assertEqual(window["client_size"], [507, 135])
        self.assertEqual(window["window"][:2], [198, 127])
        self.assertFalse(window["scroll_bars"])
        background = self.ui.cmd("pixels", "main", 200, 100, 1, 1)["rgb"]
        self.assertEqual(background, window["button_face"])
        screenshot("main-window")

    def test_controls(self):
        for name, (rect, text, font) in CONTROLS.items():
            with self.subTest(control=name):
                control = self.ui.cmd("control", name)
                self.assertEqual(tuple(control["rect"]), rect)
                self.assertTrue(control["visible"])
                if text is not None:
                    self.assertEqual(control["text"], text)
                if font is not None:
                    got = self.ui.cmd("font", name)
                    self.assertEqual((got["face"], got["height"], got["weight"], got["charset"]),
                                     font + (SHIFTJIS_CHARSET,))
        # The tab order is the order of the tab stops among the children.
        children = self.ui.cmd("children")["children"]
        self.assertEqual(sorted(c["id"] for c in children), list(range(101, 111)))
        self.assertEqual([c["id"] for c in children if c["tabstop"]], TAB_ORDER)

    def test_lists(self):
        ids = self.ui.cmd("items", "ID_LIST")
        self.assertEqual(ids["items"], [str(i) for i in range(32)])
        self.assertEqual((ids["selected"], ids["item_height"]), (0, 19))
        ports = self.ui.cmd("items", "CommPort")
        self.assertEqual(ports["items"], ["OFF"] + ["COM%d" % i for i in range(1, 21)])
        self.assertEqual((ports["selected"], ports["item_height"]), (0, 12))
        for name, visible in (("ID_LIST", 10), ("CommPort", 21)):
            with self.subTest(control=name):
                self.assertEqual(self.ui.cmd("drop", name)["visible_items"], visible)
                if name == "CommPort":
                    screenshot("port-list-dropped")
                self.ui.cmd("escape", name)
        # Only the port list reacts to its close-up.
        self.expect_box(CLOSED, INFORMATION)
        self.ui.cmd("expect-no-box", 300)

    def test_hint_on_the_port_list_only(self):
        hints = self.ui.cmd("hints")["hints"]
        self.assertEqual([(h["id"], h["text"]) for h in hints], [(110, HINT)])
        self.ui.cmd("mouse-move", "CommPort")
        self.assertEqual(self.ui.cmd("wait-tooltip", 5000)["text"], HINT)

    def test_arrows_drawn_transparently(self):
        bitmap = read_bmp(os.environ["ZEFA_ARROW_BMP"])
        background = self.ui.cmd("window")["button_face"]
        # The drawing as the screen shows it: the bitmap's colours, and the
        # window's own background where the bitmap is magenta.
        expected = [[background if c == MAGENTA else c for c in row] for row in bitmap]
        for name in ("Image1", "Image2"):
            with self.subTest(image=name):
                shown = as_rows(self.ui.cmd("pixels", name))
                self.assertEqual(shown, expected)
                # Landmarks of the arrow's shape: outline, fill, point, outside.
                for (x, y), colour in (((5, 16), BLACK), ((10, 24), LIME), ((23, 5), BLACK),
                                       ((23, 16), BLACK), ((23, 24), LIME), ((23, 31), BLACK),
                                       ((30, 24), LIME), ((42, 23), BLACK), ((42, 24), BLACK),
                                       ((2, 2), background), ((45, 24), background),
                                       ((10, 40), background)):
                    self.assertEqual(shown[y][x], colour, (x, y))

    def test_banner_is_red(self):
        background = self.ui.cmd("window")["button_face"]
        cells = self.ui.cmd("pixels", "Label1")["rgb"]
        colours = [cells[i:i + 6] for i in range(0, len(cells), 6)]
        self.assertGreater(colours.count("ff0000"), 200)
        # Nothing but red text, smoothed into the background at most.
        for colour in set(colours) - {background, "ff0000"}:
            r, g, b = (int(colour[i:i + 2], 16) for i in (0, 2, 4))
            self.assertTrue(r >= g and r >= b and g == b, colour)

    def test_screenshot_with_a_message_box(self):
        self.ui.cmd("click", "ReadBtn")
        self.ui.cmd("wait-box")
        screenshot("read-with-port-off")
        self.ui.cmd("press", "OK")


if __name__ == "__main__":
    unittest.main()
