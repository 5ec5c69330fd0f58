"""The settings file through real starts and exits: its exact bytes after
the start-up and after the exit button."""

import os
import shutil
import subprocess
import unittest

from e2e import (CLOSED, ERROR, INFORMATION, WARNING, ProgramTestCase, drive_warning, port_set_up,
                 port_unusable)

# file before the start: port list at start (None: no selection), the
# file after the start-up, the file after choosing OFF and the exit button
FILES = [
    ("no file", None, 0, b"", b"[ZEFA_ID]\r\nCommPort=0\r\n\r\n"),
    ("lower case and spaces", b"[zefa_id]\r\ncommport = 5\r\n", 5,
     b"[zefa_id]\r\ncommport=5\r\n\r\n", b"[zefa_id]\r\nCommPort=0\r\n\r\n"),
    ("comments, blank lines, another section",
     b"; settings\r\n\r\n[Other]\r\n  key = value  \r\n\r\n; ours\r\n[ZEFA_ID]\r\nCommPort=4\r\n",
     4, b"[Other]\r\nkey=value\r\n\r\n[ZEFA_ID]\r\nCommPort=4\r\n\r\n",
     b"[Other]\r\nkey=value\r\n\r\n[ZEFA_ID]\r\nCommPort=0\r\n\r\n"),
    ("hexadecimal 0x0A", b"[ZEFA_ID]\r\nCommPort=0x0A\r\n", 10,
     b"[ZEFA_ID]\r\nCommPort=0x0A\r\n\r\n", b"[ZEFA_ID]\r\nCommPort=0\r\n\r\n"),
    ("hexadecimal $A", b"[ZEFA_ID]\nCommPort=$A\n", 10,
     b"[ZEFA_ID]\r\nCommPort=$A\r\n\r\n", b"[ZEFA_ID]\r\nCommPort=0\r\n\r\n"),
    ("not a number", b"[ZEFA_ID]\rCommPort=abc\r", 0,
     b"[ZEFA_ID]\r\nCommPort=abc\r\n\r\n", b"[ZEFA_ID]\r\nCommPort=0\r\n\r\n"),
    ("section twice", b"[ZEFA_ID]\r\nCommPort=1\r\n[ZEFA_ID]\r\nCommPort=6\r\n", 6,
     b"[ZEFA_ID]\r\nCommPort=1\r\n\r\n[ZEFA_ID]\r\nCommPort=6\r\n\r\n",
     b"[ZEFA_ID]\r\nCommPort=1\r\n\r\n[ZEFA_ID]\r\nCommPort=0\r\n\r\n"),
]


def start_box(port):
    """The start-up box for a saved port with no device behind it."""
    if port == 0:
        return CLOSED, INFORMATION
    return port_unusable(port), WARNING


class SettingsFileTest(ProgramTestCase):
    def test_file_after_start_and_exit(self):
        for name, before, port, after_start, after_exit in FILES:
            with self.subTest(name):
                if os.path.exists(self.ini_path):
                    os.remove(self.ini_path)
                if before is not None:
                    self.write_ini(before)
                self.start(*start_box(port))
                self.assertEqual(self.selected("CommPort"), port)
                self.assertEqual(self.ini(), after_start)
                if port != 0:
                    self.choose_port("OFF", CLOSED, INFORMATION)
                self.exit_program()
                self.assertEqual(self.ini(), after_exit)

    def test_index_outside_the_list_is_saved_as_minus_one(self):
        self.write_ini(b"[ZEFA_ID]\r\nCommPort=99\r\n")
        self.start(port_unusable(-1), WARNING)
        self.assertEqual(self.selected("CommPort"), -1)
        self.assertEqual(self.ini(), b"[ZEFA_ID]\r\nCommPort=99\r\n\r\n")
        self.exit_program()
        self.assertEqual(self.ini(), b"[ZEFA_ID]\r\nCommPort=-1\r\n\r\n")

    def test_chosen_port_is_saved_in_place(self):
        self.board(3)
        self.write_ini(b"[A]\r\nx=1\r\n[zefa_ID]\r\nfirst=1\r\ncommPORT=0\r\nlast=2\r\n[B]\r\ny=2\r\n")
        self.start(CLOSED)
        self.choose_port("COM3", port_set_up(3), INFORMATION)
        self.exit_program()
        self.assertEqual(self.ini(), b"[A]\r\nx=1\r\n\r\n[zefa_ID]\r\nfirst=1\r\nCommPort=3\r\nlast=2\r\n\r\n"
                                     b"[B]\r\ny=2\r\n\r\n")


class ReadOnlyMediumTest(ProgramTestCase):
    """The program on a read-only file system: warned at start and at exit,
    the file never written."""

    def install_program(self, folder):
        self.medium = os.path.join(folder, "medium")
        os.mkdir(self.medium)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", self.medium], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", self.medium], check=False)
        super().install_program(self.medium)
        self.original = b"; kept\r\n[ZEFA_ID]\r\nCommPort=0\r\n"
        self.write_ini(self.original)
        subprocess.run(["mount", "-o", "remount,ro", self.medium], check=True)

    def test_warning_at_start_and_exit_and_the_file_is_kept(self):
        # The drive is that of the program's path: Z: under Wine.
        self.launch()
        self.expect_box(drive_warning("Z:"), ERROR, timeout_ms=self.START_TIMEOUT_MS)
        self.expect_box(CLOSED, INFORMATION)
        self.ui.cmd("wait-main", self.START_TIMEOUT_MS)
        self.exit_program((drive_warning("Z:"), ERROR))
        self.assertEqual(self.ini(), self.original)
        self.assertEqual(sorted(os.listdir(self.medium)), ["ZEFA1ID.exe", "ZEFA_ID.ini"])


if __name__ == "__main__":
    unittest.main()
