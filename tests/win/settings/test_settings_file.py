"""The settings file beside a real program file, under Wine.

Each test copies the console program settings_check.exe into a fresh folder
and runs it there, so that ZEFA_ID.ini really lies beside the running
program, then compares the file's bytes exactly and checks that no
temporary file is left behind.
"""
import argparse
import os
import random
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

ARGS = None

WARNING = "box 3 2 0 0 ドライブZ:には、iniファイルを保存できません"
BOM8 = b"\xef\xbb\xbf"
FIRST_SAVE = b"[ZEFA_ID]\r\nCommPort=3\r\n\r\n"
INI = "ZEFA_ID.ini"
PROGRAM = "settings_check.exe"


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL, capture_output=True, timeout=60, **kwargs)


class SettingsFileTest(unittest.TestCase):
    def setUp(self):
        os.makedirs(ARGS.work, exist_ok=True)
        self.root = tempfile.mkdtemp(prefix=self.id().rsplit(".", 1)[-1] + "-", dir=ARGS.work)
        self.undo = []

    def tearDown(self):
        # Undo mounts and attributes even when the test failed.
        for action in reversed(self.undo):
            action()
        shutil.rmtree(self.root, ignore_errors=True)

    # -- helpers -------------------------------------------------------------

    def program_folder(self, name="program", with_ini=None):
        folder = os.path.join(self.root, name)
        os.makedirs(folder, exist_ok=True)
        shutil.copy(ARGS.program, os.path.join(folder, PROGRAM))
        if with_ini is not None:
            self.write_ini(folder, with_ini)
        return folder

    def write_ini(self, folder, data):
        with open(os.path.join(folder, INI), "wb") as f:
            f.write(data)

    def ini(self, folder):
        with open(os.path.join(folder, INI), "rb") as f:
            return f.read()

    def settings_check(self, folder, *args, env=None, status=0):
        env = dict(os.environ, ZEFA_WINE_ENV=ARGS.wine_env, **(env or {}))
        result = subprocess.run([ARGS.wine_run, os.path.join(folder, PROGRAM), *args], env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        stderr = result.stderr.decode(errors="replace")
        # Now and then Wine's loader trips over its own teardown after the
        # program has ended (glibc's _dl_fini assertion, exit 127). The
        # output still says what the program did, and is checked in full.
        loader_teardown = result.returncode == 127 and stderr.startswith("Inconsistency detected by ld.so")
        if not loader_teardown:
            self.assertEqual(result.returncode, status, stderr)
        return result.stdout.decode("utf-8").splitlines()

    def save_steps(self, folder, port):
        """The steps a save passes through, in order."""
        lines = self.settings_check(folder, "save", str(port), env={"ZEFA_SETTINGS_STEPS": "1"})
        self.assertEqual(lines[-1], "saved")
        return [line.split(" ", 1)[1] for line in lines if line.startswith("step ")]

    def attributes(self, folder):
        """The settings file's attribute names, as the program sees them."""
        lines = self.settings_check(folder, "properties")
        self.assertTrue(lines and lines[0].startswith("attributes"), lines)
        return lines[0].split()[1:]

    def assertOnly(self, folder, names):
        """Nothing but these files in the folder: no temporary file left."""
        self.assertEqual(sorted(os.listdir(folder)), sorted(names))

    def mount_tmpfs(self, folder, size):
        os.makedirs(folder, exist_ok=True)
        run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs", folder])
        self.undo.append(lambda: self.unmount(folder))

    def unmount(self, folder):
        if subprocess.run(["umount", folder], capture_output=True).returncode != 0:
            subprocess.run(["umount", "-l", folder], capture_output=True)

    def immutable(self, path):
        if subprocess.run(["chattr", "+i", path], capture_output=True).returncode != 0:
            self.skipTest("chattr +i is not supported on the file system of " + path)
        self.undo.append(lambda: subprocess.run(["chattr", "-i", path], capture_output=True))

    # -- tests ---------------------------------------------------------------

    def test_missing_file_appears_empty_and_first_save_fills_it(self):
        folder = self.program_folder()
        self.assertEqual(self.settings_check(folder, "load"), ["index 0"])
        self.assertEqual(self.ini(folder), b"")
        self.assertEqual(self.settings_check(folder, "save", "3"), ["saved"])
        self.assertEqual(self.ini(folder), FIRST_SAVE)
        self.assertEqual(self.settings_check(folder, "load"), ["index 3"])
        self.assertEqual(self.ini(folder), FIRST_SAVE)
        self.assertOnly(folder, [PROGRAM, INI])

    def test_other_entries_survive_and_the_setting_changes_in_place(self):
        folder = self.program_folder(with_ini=(
            b"; made by hand\r\n[zefa_id]\r\n  commport = 5  \r\n\r\nOther=\x83e\x83X\x83g\r\n"
            b"[Tool]\nname = value\n"))
        self.assertEqual(self.settings_check(folder, "load"), ["index 5"])
        loaded = b"[zefa_id]\r\ncommport=5\r\nOther=\x83e\x83X\x83g\r\n\r\n[Tool]\r\nname=value\r\n\r\n"
        self.assertEqual(self.ini(folder), loaded)
        self.assertEqual(self.settings_check(folder, "save", "-1"), ["saved"])
        self.assertEqual(self.ini(folder), loaded.replace(b"commport=5", b"CommPort=-1"))
        self.assertOnly(folder, [PROGRAM, INI])

    def test_values_read_as_whole_numbers(self):
        folder = self.program_folder()
        for value, index in [(b"0x0A", 10), (b"$A", 10), (b"abc", 0), (b"", 0), (b"99", 99), (b"-3", -3),
                             (b"99999999999", 0)]:
            self.write_ini(folder, b"[ZEFA_ID]\r\nCommPort=" + value + b"\r\n")
            self.assertEqual(self.settings_check(folder, "load"), ["index %d" % index], value)

    def test_read_only_file_warns_and_stays_as_it_was(self):
        before = b"[ZEFA_ID]\r\n  CommPort = 4\r\n; note\r\n"
        folder = self.program_folder(with_ini=before)
        os.chmod(os.path.join(folder, INI), stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        self.assertEqual(self.settings_check(folder, "load"), [WARNING, "index 4"])
        self.assertEqual(self.settings_check(folder, "save", "9"), [WARNING, "saved"])
        self.assertEqual(self.ini(folder), before)
        self.assertOnly(folder, [PROGRAM, INI])

    def test_file_that_cannot_be_replaced_stays_as_it_was(self):
        # The temporary file is written, then the replace fails.
        before = b"[ZEFA_ID]\r\nCommPort=4\r\n"
        folder = self.program_folder(with_ini=before)
        self.immutable(os.path.join(folder, INI))
        self.assertEqual(self.settings_check(folder, "load"), [WARNING, "index 4"])
        self.assertEqual(self.settings_check(folder, "save", "9"), [WARNING, "saved"])
        self.assertEqual(self.ini(folder), before)
        self.assertOnly(folder, [PROGRAM, INI])

    def test_hidden_file_stays_hidden(self):
        folder = self.program_folder(with_ini=b"[ZEFA_ID]\r\n  CommPort = 4\r\n")
        self.assertEqual(self.settings_check(folder, "hide"), ["hidden"])
        # The start-up probe and the save each replace the whole file.
        for command, output, after in [(["load"], "index 4", b"[ZEFA_ID]\r\nCommPort=4\r\n\r\n"),
                                       (["save", "9"], "saved", b"[ZEFA_ID]\r\nCommPort=9\r\n\r\n")]:
            with self.subTest(command=command[0]):
                self.assertEqual(self.settings_check(folder, *command), [output])
                self.assertEqual(self.ini(folder), after)
                self.assertIn("hidden", self.attributes(folder))
        self.assertOnly(folder, [PROGRAM, INI])

    def test_read_only_folder_warns_and_nothing_is_written(self):
        for before in [None, b"[ZEFA_ID]\r\nCommPort = 2\r\n"]:
            with self.subTest(file=before is not None):
                folder = os.path.join(self.root, "medium-%s" % (before is not None))
                self.mount_tmpfs(folder, 8 << 20)
                self.program_folder(os.path.basename(folder), with_ini=before)
                run(["mount", "-o", "remount,ro", folder])
                expected = [WARNING, "index 2" if before else "index 0"]
                self.assertEqual(self.settings_check(folder, "load"), expected)
                self.assertEqual(self.settings_check(folder, "save", "7"), [WARNING, "saved"])
                if before is None:
                    self.assertOnly(folder, [PROGRAM])
                else:
                    self.assertEqual(self.ini(folder), before)
                    self.assertOnly(folder, [PROGRAM, INI])

    def test_full_disk_keeps_the_old_file_whole(self):
        # Room for the program, the file and a few pages: not for a copy.
        page = 4096
        before = b"[ZEFA_ID]\r\nCommPort=6\r\n\r\n[Other]\r\n" + b"key=" + b"v" * (128 << 10) + b"\r\n\r\n"
        pages = lambda n: (n + page - 1) // page * page
        folder = os.path.join(self.root, "full")
        self.mount_tmpfs(folder, pages(os.path.getsize(ARGS.program)) + pages(len(before)) + 8 * page)
        self.program_folder("full", with_ini=before)
        free = os.statvfs(folder)
        self.assertLess(free.f_bavail * free.f_frsize, len(before))
        self.assertEqual(self.settings_check(folder, "load"), [WARNING, "index 6"])
        self.assertEqual(self.settings_check(folder, "save", "1"), [WARNING, "saved"])
        self.assertEqual(self.ini(folder), before)
        self.assertOnly(folder, [PROGRAM, INI])

    def test_contents_as_editors_and_other_programs_leave_them(self):
        # name, file, port read, file after the start-up, file after a save of 7
        rng = random.Random(10)
        garbage_head = bytes(rng.randrange(0x80, 0x100) for _ in range(64))
        garbage = garbage_head + b"\x00" + rng.randbytes(4096)
        others = "[ZEFA_ID]\r\nCommPort=3\r\n[Other]\r\nKey=ポート\r\n"
        written = "[ZEFA_ID]\r\nCommPort=%d\r\n\r\n[Other]\r\nKey=ポート\r\n\r\n"
        utf8 = lambda port: (written % port).encode("utf-8")
        big = b"[ZEFA_ID]\r\nCommPort=3\r\n[Big]\r\n" + (b"k=" + b"v" * 1000 + b"\r\n") * 6000
        cases = [
            ("UTF-8", others.encode("utf-8"), 3, utf8(3), utf8(7)),
            ("UTF-8 with a byte-order mark", BOM8 + others.encode("utf-8"), 3, BOM8 + utf8(3), BOM8 + utf8(7)),
            ("UTF-16 LE", ("\ufeff" + others).encode("utf-16-le"), 3, ("\ufeff" + written % 3).encode("utf-16-le"),
             ("\ufeff" + written % 7).encode("utf-16-le")),
            ("UTF-16 BE", ("\ufeff" + others).encode("utf-16-be"), 3, ("\ufeff" + written % 3).encode("utf-16-be"),
             ("\ufeff" + written % 7).encode("utf-16-be")),
            ("a NUL in the middle", b"; mine\r\n[ZEFA_ID]\r\n  CommPort = 3 \r\n\x00[Other]\r\nKey=1\r\n", 3,
             None, b"; mine\r\n[ZEFA_ID]\r\nCommPort=7\r\n\x00[Other]\r\nKey=1\r\n"),
            ("NUL bytes after another section", b"[Other]\nKey=1\n\x00\x00\x00", 0, None,
             b"[Other]\nKey=1\n[ZEFA_ID]\nCommPort=7\n\x00\x00\x00"),
            ("UTF-16 LE with a NUL", ("\ufeff[ZEFA_ID]\r\nCommPort=3\r\n\x00[Other]").encode("utf-16-le"), 3, None,
             ("\ufeff[ZEFA_ID]\r\nCommPort=7\r\n\x00[Other]").encode("utf-16-le")),
            ("CR only", b"[ZEFA_ID]\rCommPort=3\r[Other]\rKey=1\r", 3,
             b"[ZEFA_ID]\r\nCommPort=3\r\n\r\n[Other]\r\nKey=1\r\n\r\n",
             b"[ZEFA_ID]\r\nCommPort=7\r\n\r\n[Other]\r\nKey=1\r\n\r\n"),
            ("LF only", b"[ZEFA_ID]\nCommPort=3\n[Other]\nKey=1\n", 3,
             b"[ZEFA_ID]\r\nCommPort=3\r\n\r\n[Other]\r\nKey=1\r\n\r\n",
             b"[ZEFA_ID]\r\nCommPort=7\r\n\r\n[Other]\r\nKey=1\r\n\r\n"),
            ("binary garbage", garbage, 0, None, garbage_head + b"\r\n[ZEFA_ID]\r\nCommPort=7\r\n" + garbage[64:]),
            ("a file larger than any settings file", big, 3, None, None),
        ]
        folder = self.program_folder()
        for name, before, port, after_start, after_save in cases:
            with self.subTest(name):
                self.write_ini(folder, before)
                # The large file is read only up to its limit and never written:
                # the port choice cannot be saved, which the warning says.
                warned = [WARNING] if after_save is None else []
                self.assertEqual(self.settings_check(folder, "load"), warned + ["index %d" % port])
                self.assertEqual(self.ini(folder), before if after_start is None else after_start)
                self.assertEqual(self.settings_check(folder, "save", "7"), warned + ["saved"])
                self.assertEqual(self.ini(folder), before if after_save is None else after_save)
                if after_save is not None:
                    self.assertEqual(self.settings_check(folder, "load"), ["index 7"])
                self.assertOnly(folder, [PROGRAM, INI])

    def test_folder_that_refuses_new_files_while_the_file_is_writable(self):
        folder = self.program_folder(with_ini=b"[ZEFA_ID]\r\n  CommPort = 2\r\n; note\r\n")
        self.immutable(folder)
        self.assertEqual(self.settings_check(folder, "load"), ["index 2"])
        self.assertEqual(self.ini(folder), b"[ZEFA_ID]\r\nCommPort=2\r\n\r\n")
        self.assertEqual(self.settings_check(folder, "save", "5"), ["saved"])
        self.assertEqual(self.ini(folder), b"[ZEFA_ID]\r\nCommPort=5\r\n\r\n")
        self.assertOnly(folder, [PROGRAM, INI])

    def test_folder_that_refuses_new_files_and_a_file_that_refuses_writes(self):
        for name in ["read-only file", "no file"]:
            with self.subTest(name):
                folder = self.program_folder(name)
                before = b"[ZEFA_ID]\r\n  CommPort = 4\r\n"
                if name == "read-only file":
                    self.write_ini(folder, before)
                    os.chmod(os.path.join(folder, INI), stat.S_IRUSR)
                self.immutable(folder)
                expected = "index 4" if name == "read-only file" else "index 0"
                self.assertEqual(self.settings_check(folder, "load"), [WARNING, expected])
                self.assertEqual(self.settings_check(folder, "save", "9"), [WARNING, "saved"])
                if name == "read-only file":
                    self.assertEqual(self.ini(folder), before)
                    self.assertOnly(folder, [PROGRAM, INI])
                else:
                    self.assertOnly(folder, [PROGRAM])

    def test_kill_at_every_step_of_a_save(self):
        old = b"[ZEFA_ID]\r\nCommPort=4\r\n\r\n[Other]\r\nKey=1\r\n\r\n"
        new = old.replace(b"CommPort=4", b"CommPort=9")
        replace = ["temporary-created", "temporary-written", "temporary-flushed", "temporary-closed"]
        # The probe and the save each write the whole file. Without a file,
        # the probe renames its temporary file into place, and the start
        # after a kill finds no file or an empty one: what there was.
        kinds = [
            ("beside a temporary file", old, (replace + ["replaced"]) * 2, {old: 4, new: 9}),
            ("in place", old, ["in-place-opened", "in-place-written"] * 2, {old: 4, new: 9}),
            ("first save", None, replace + ["renamed"] + replace + ["replaced"], {b"": 0, FIRST_SAVE.replace(b"=3", b"=9"): 9}),
        ]
        for kind, before, steps, outcomes in kinds:
            with self.subTest(kind):
                folder = self.program_folder(kind, with_ini=before)
                if kind == "in place":
                    self.immutable(folder)
                self.assertEqual(self.save_steps(folder, 9), steps)
                for step in range(1, len(steps) + 1):
                    with self.subTest(kind=kind, step=step, name=steps[step - 1]):
                        if before is None:
                            os.remove(os.path.join(folder, INI))
                        else:
                            self.write_ini(folder, before)
                        self.settings_check(folder, "save", "9", env={"ZEFA_SETTINGS_KILL_AT": str(step)},
                                            status=99)
                        if before is not None or os.path.exists(os.path.join(folder, INI)):
                            self.assertIn(self.ini(folder), outcomes)
                        lines = self.settings_check(folder, "load")
                        self.assertIn(self.ini(folder), outcomes)
                        self.assertEqual(lines, ["index %d" % outcomes[self.ini(folder)]])
                        self.assertOnly(folder, [PROGRAM, INI])

    def test_kill_inside_the_replace_is_recovered_at_start_up(self):
        # The replace moves the old file to the backup name, then the new one
        # into place: killed between the two, only those two files are left.
        old = b"[ZEFA_ID]\r\nCommPort=4\r\n\r\n"
        for killed_again in [False, True]:
            with self.subTest(killed_during_recovery=killed_again):
                folder = self.program_folder("again-%s" % killed_again, with_ini=old)
                steps = self.save_steps(folder, 9)
                self.write_ini(folder, old)
                last_closed = len(steps) - steps[::-1].index("temporary-closed")
                self.settings_check(folder, "save", "9", env={"ZEFA_SETTINGS_KILL_AT": str(last_closed)}, status=99)
                temporary = [name for name in os.listdir(folder) if name.endswith(".tmp")]
                self.assertEqual(len(temporary), 1, os.listdir(folder))
                os.rename(os.path.join(folder, INI), os.path.join(folder, temporary[0] + ".bak"))
                if killed_again:
                    self.settings_check(folder, "load", env={"ZEFA_SETTINGS_KILL_AT": "1"}, status=99)
                self.assertEqual(self.settings_check(folder, "load"), ["index 4"])
                self.assertEqual(self.ini(folder), old)
                self.assertOnly(folder, [PROGRAM, INI])

    def test_leftovers_of_other_files_are_not_touched(self):
        names = ["ZEFA_ID.ini.tmp", "ZEFA_ID.ini.12.x.tmp", "ZEFA_ID.ini.12.0.tmp.old", "OTHER.ini.12.0.tmp"]
        folder = self.program_folder(with_ini=b"[ZEFA_ID]\r\nCommPort=4\r\n\r\n")
        for name in names:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(b"x")
        self.assertEqual(self.settings_check(folder, "load"), ["index 4"])
        self.assertOnly(folder, [PROGRAM, INI] + names)

    def test_symbolic_link_stays_a_link_to_the_new_content(self):
        folder = self.program_folder()
        shared = os.path.join(self.root, "shared")
        os.makedirs(shared)
        target = os.path.join(shared, "zefa.ini")
        with open(target, "wb") as f:
            f.write(b"[ZEFA_ID]\r\n CommPort = 4\r\n")
        os.symlink("../shared/zefa.ini", os.path.join(folder, INI))
        self.assertEqual(self.settings_check(folder, "load"), ["index 4"])
        self.assertEqual(self.settings_check(folder, "save", "8"), ["saved"])
        self.assertEqual(os.readlink(os.path.join(folder, INI)), "../shared/zefa.ini")
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"[ZEFA_ID]\r\nCommPort=8\r\n\r\n")
        self.assertOnly(folder, [PROGRAM, INI])
        self.assertEqual(os.listdir(shared), ["zefa.ini"])

    def test_program_in_a_folder_with_a_japanese_name(self):
        folder = self.program_folder("設定ツール・書込")
        self.assertEqual(self.settings_check(folder, "load"), ["index 0"])
        self.assertEqual(self.ini(folder), b"")
        self.assertEqual(self.settings_check(folder, "save", "3"), ["saved"])
        self.assertEqual(self.ini(folder), FIRST_SAVE)
        self.assertOnly(folder, [PROGRAM, INI])

    def test_program_in_a_folder_beyond_max_path(self):
        name = os.path.join(*(["ordner_" + "x" * 40] * 6))
        folder = self.program_folder(name)
        self.assertGreater(len(os.path.join(folder, INI)), 300)
        self.assertEqual(self.settings_check(folder, "load"), ["index 0"])
        self.assertEqual(self.settings_check(folder, "save", "3"), ["saved"])
        self.assertEqual(self.ini(folder), FIRST_SAVE)
        self.assertOnly(folder, [PROGRAM, INI])

    def test_file_held_by_a_writer_raises_an_error_naming_it(self):
        before = b"[ZEFA_ID]\r\nCommPort=4\r\n"
        folder = self.program_folder(with_ini=before)
        expected_path = "Z:" + os.path.join(folder, INI).replace("/", "\\")
        for command in [["load"], ["save", "5"]]:
            with self.subTest(command=command[0]):
                lines = self.settings_check(folder, "held", *command)
                self.assertEqual(lines, ["exception 設定ファイル「%s」を読み込めませんでした（エラー 32）"
                                         % expected_path])
                self.assertEqual(self.ini(folder), before)
                self.assertOnly(folder, [PROGRAM, INI])


def clean_work(work):
    """Undoes what an interrupted earlier run may have left: mounts, immutable files."""
    with open("/proc/mounts") as mounts:
        points = [line.split()[1] for line in mounts]
    for point in sorted(points, reverse=True):
        if point.startswith(work + os.sep):
            subprocess.run(["umount", "-l", point], capture_output=True)
    if os.path.isdir(work):
        subprocess.run(["chattr", "-R", "-i", work], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--wine-env", required=True)
    parser.add_argument("--work", required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.work = os.path.abspath(ARGS.work)
    clean_work(ARGS.work)
    if not os.path.isfile(ARGS.wine_env):
        print("no Wine environment: run scripts/wine-env start on the Windows tree", file=sys.stderr)
        return 1
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
