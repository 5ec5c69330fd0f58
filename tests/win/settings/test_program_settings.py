"""The program's start-up and exit with settings files as editors, other
programs, protected folders and an interrupted save leave them: the port it
opens, the boxes it shows and the file's exact bytes afterwards."""

import os
import subprocess
import unittest

from e2e import CLOSED, ERROR, INFORMATION, WARNING, ProgramTestCase, drive_warning, port_unusable

BOM8 = b"\xef\xbb\xbf"
WRITTEN = "[ZEFA_ID]\r\nCommPort=%d\r\n\r\n[Other]\r\nKey=ポート\r\n\r\n"
OTHERS = "[ZEFA_ID]\r\nCommPort=3\r\n[Other]\r\nKey=ポート\r\n"

# file before the start, the port it names, the file after the start-up and
# after choosing OFF and the exit button (None: as before)
FILES = [
    ("UTF-8 with a byte-order mark", BOM8 + OTHERS.encode(), 3, BOM8 + (WRITTEN % 3).encode(),
     BOM8 + (WRITTEN % 0).encode()),
    ("UTF-16 LE", ("\ufeff" + OTHERS).encode("utf-16-le"), 3, ("\ufeff" + WRITTEN % 3).encode("utf-16-le"),
     ("\ufeff" + WRITTEN % 0).encode("utf-16-le")),
    ("UTF-16 BE", ("\ufeff" + OTHERS).encode("utf-16-be"), 3, ("\ufeff" + WRITTEN % 3).encode("utf-16-be"),
     ("\ufeff" + WRITTEN % 0).encode("utf-16-be")),
    ("a NUL in the middle", b"; mine\r\n[ZEFA_ID]\r\nCommPort = 3\r\n\x00[Other]\r\nKey=1\r\n", 3, None,
     b"; mine\r\n[ZEFA_ID]\r\nCommPort=0\r\n\x00[Other]\r\nKey=1\r\n"),
]


class StartAndExitTest(ProgramTestCase):
    def immutable(self, path):
        subprocess.run(["chattr", "+i", path], check=True)
        self.addCleanup(subprocess.run, ["chattr", "-i", path], check=False)

    def assertOnly(self, names):
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(["ZEFA1ID.exe"] + names))

    def test_file_in_another_encoding_or_with_a_nul(self):
        for name, before, port, after_start, after_exit in FILES:
            with self.subTest(name):
                self.write_ini(before)
                self.start(port_unusable(port), WARNING)
                self.assertEqual(self.selected("CommPort"), port)
                self.assertEqual(self.ini(), before if after_start is None else after_start)
                self.choose_port("OFF", CLOSED, INFORMATION)
                self.exit_program()
                self.assertEqual(self.ini(), after_exit)
                self.assertOnly(["ZEFA_ID.ini"])

    def test_folder_that_refuses_new_files_saves_the_port(self):
        self.write_ini(b"[ZEFA_ID]\r\nCommPort = 3\r\n")
        self.immutable(self.folder)
        self.start(port_unusable(3), WARNING)
        self.assertEqual(self.ini(), b"[ZEFA_ID]\r\nCommPort=3\r\n\r\n")
        self.choose_port("OFF", CLOSED, INFORMATION)
        self.exit_program()
        self.assertEqual(self.ini(), b"[ZEFA_ID]\r\nCommPort=0\r\n\r\n")
        self.assertOnly(["ZEFA_ID.ini"])

    def test_save_killed_inside_the_replace_is_recovered(self):
        # What a kill between the replace's two renames leaves: the old file
        # under the backup name, the new one under the temporary name.
        old = b"[ZEFA_ID]\r\nCommPort=3\r\n\r\n"
        for name, content in [("ZEFA_ID.ini.4242.0.tmp.bak", old), ("ZEFA_ID.ini.4242.0.tmp", b"[ZEFA_ID]\r\nCo")]:
            with open(os.path.join(self.folder, name), "wb") as f:
                f.write(content)
        self.start(port_unusable(3), WARNING)
        self.assertEqual(self.ini(), old)
        self.assertOnly(["ZEFA_ID.ini"])
        self.exit_program()
        self.assertEqual(self.ini(), old)

    def test_file_too_large_is_read_and_never_written(self):
        before = b"[ZEFA_ID]\r\nCommPort=3\r\n[Big]\r\n" + (b"k=" + b"v" * 1000 + b"\r\n") * 6000
        self.write_ini(before)
        self.launch()
        self.expect_box(drive_warning("Z:"), ERROR, timeout_ms=self.START_TIMEOUT_MS)
        self.expect_box(port_unusable(3), WARNING)
        self.ui.cmd("wait-main", self.START_TIMEOUT_MS)
        self.assertEqual(self.selected("CommPort"), 3)
        self.exit_program((drive_warning("Z:"), ERROR))
        self.assertEqual(self.ini(), before)
        self.assertOnly(["ZEFA_ID.ini"])


if __name__ == "__main__":
    unittest.main()
