"""The packages as a user receives them: the Windows zip unpacked and its
programs started under Wine, the Debian package unpacked with dpkg-deb, its
program and man page run; and one version everywhere.

./package runs this after it has made the packages, with:
    ZEFA_PACKAGES   the folder that holds both packages
    ZEFA_VERSION    the project's version, from the build
    ZEFA_WINE_ENV   the Windows tree's wine-env.sh (a started environment)
    ZEFA_UIDRIVER   uidriver.exe; ZEFA_WINE_RUN, scripts/wine-run
"""

import glob
import hashlib
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile

from uidriver import UiDriver, win_path

VERSION = os.environ.get("ZEFA_VERSION", "")
PACKAGES = os.environ.get("ZEFA_PACKAGES", "")
START_MS = 20000

# Every text that the program shows in a message box, as the guide must
# list them (n and X: a port number and a drive).
PROGRAM_TEXTS = [
    "シリアルポートを閉じました", "設定完了", "は使用できません", "読み取り完了", "通信に失敗しました",
    "再設定を行ってください", "書込に成功しました", "書込に失敗しました", "には、iniファイルを保存できません",
    "情報", "警告", "エラー",
]

# DLLs that every Windows has: the programs must need no other, so that the
# zip runs where it is unpacked.
SYSTEM_DLLS = {"advapi32.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll", "msimg32.dll", "msvcrt.dll",
               "shell32.dll", "user32.dll", "setupapi.dll", "ole32.dll", "ws2_32.dll", "winmm.dll"}


def run(args, check=False, **kwargs):
    kwargs.setdefault("timeout", 120)
    return subprocess.run(args, capture_output=True, check=check, **kwargs)


def the_package(pattern):
    found = glob.glob(os.path.join(PACKAGES, pattern))
    if len(found) != 1:
        raise AssertionError("expected one %s in %s, found %s" % (pattern, PACKAGES, found))
    return found[0]


def version_resource(exe):
    """The fixed file version and the FileVersion and ProductVersion texts
    of a PE file's version resource."""
    with open(exe, "rb") as f:
        data = f.read()
    fixed = data.find(struct.pack("<I", 0xFEEF04BD))
    if fixed < 0:
        raise AssertionError("%s has no version resource" % exe)
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", data, fixed + 8)

    def dotted(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    def text(key):
        # A String entry: length, value length (in characters, the final
        # NUL included), type, the key, padding to 32 bits, the value.
        name = (key + "\0").encode("utf-16le")
        at = data.find(name, fixed)
        if at < 0:
            raise AssertionError("%s has no %s" % (exe, key))
        _, value_chars, _ = struct.unpack_from("<HHH", data, at - 6)
        start = (at + len(name) + 3) & ~3
        return data[start:start + 2 * value_chars].decode("utf-16le").rstrip("\0")

    return {"FILEVERSION": dotted(file_ms, file_ls), "PRODUCTVERSION": dotted(product_ms, product_ls),
            "FileVersion": text("FileVersion"), "ProductVersion": text("ProductVersion")}


def dll_imports(exe):
    dump = run(["x86_64-w64-mingw32-objdump", "-p", exe], check=True).stdout.decode()
    return {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}


class ZipTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.zip_path = the_package("*.zip")
        cls.folder_name = "ZEFA1ID-%s-win64" % VERSION
        cls.work = tempfile.mkdtemp(prefix="zefa-zip-")
        with zipfile.ZipFile(cls.zip_path) as z:
            cls.names = sorted(z.namelist())
            z.extractall(cls.work)
        cls.folder = os.path.join(cls.work, cls.folder_name)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def test_name_and_contents(self):
        self.assertEqual(os.path.basename(self.zip_path), self.folder_name + ".zip")
        files = ["ZEFA1ID.exe", "zefa1id.exe", "ZEFA1ID-guide.html", "README.txt", "SHA256SUMS"]
        self.assertEqual(self.names, sorted("%s/%s" % (self.folder_name, f) for f in files))

    def test_checksums_cover_every_other_file(self):
        listed = {}
        for line in self.read("SHA256SUMS").decode("ascii").splitlines():
            digest, name = line.split("  ", 1)
            listed[name] = digest
        self.assertEqual(sorted(listed), sorted(n.split("/", 1)[1] for n in self.names if not n.endswith("SHA256SUMS")))
        for name, digest in listed.items():
            with self.subTest(name=name):
                self.assertEqual(hashlib.sha256(self.read(name)).hexdigest(), digest)

    def test_programs_are_64_bit_and_need_no_runtime_dlls(self):
        for name, subsystem in (("ZEFA1ID.exe", "GUI"), ("zefa1id.exe", "console")):
            with self.subTest(name=name):
                described = run(["file", "-b", self.path(name)], check=True).stdout.decode()
                self.assertIn("PE32+ executable (%s) x86-64" % subsystem, described)
                self.assertLessEqual(dll_imports(self.path(name)), SYSTEM_DLLS)
                # Stripped: the debug information stays in the build tree.
                sections = run(["x86_64-w64-mingw32-objdump", "-h", self.path(name)], check=True).stdout.decode()
                self.assertIn(".text", sections)
                self.assertNotIn(".debug", sections)

    def test_version_resource_is_the_projects(self):
        four = VERSION + ".0"
        self.assertEqual(version_resource(self.path("ZEFA1ID.exe")),
                         {"FILEVERSION": four, "PRODUCTVERSION": four, "FileVersion": four, "ProductVersion": four})

    def test_readme_is_japanese_text_for_notepad(self):
        data = self.read("README.txt")
        self.assertTrue(data.startswith(b"\xef\xbb\xbf"))
        self.assertEqual(data.count(b"\n"), data.count(b"\r\n"))
        self.assertNotIn(b"\r\r", data)
        text = data[3:].decode("utf-8")
        self.assertIn("バージョン %s" % VERSION, text)
        self.assertNotIn("@", text)

    def test_guide_is_one_complete_html_file(self):
        html = self.read("ZEFA1ID-guide.html").decode("utf-8")
        self.assertIn('lang="ja"', html)
        self.assertIn("バージョン %s" % VERSION, html)
        # Every picture inside the file, none left to a path beside it.
        images = re.findall(r'<img [^>]*src="([^"]*)"', html)
        self.assertGreaterEqual(len(images), 11)
        for source in images:
            self.assertTrue(source.startswith("data:image/png;base64,"), source[:60])
        # Every link inside the guide leads to one of its headings.
        anchors = set(re.findall(r'id="([^"]+)"', html))
        for target in re.findall(r'href="#([^"]+)"', html):
            self.assertIn(target, anchors)
        for text in PROGRAM_TEXTS:
            self.assertIn(text, html)

    def test_programs_start_under_wine(self):
        # The program from the unpacked folder: with no settings file its
        # start-up box says the port is closed, and the exit button saves.
        with UiDriver(os.environ["ZEFA_UIDRIVER"], os.environ["ZEFA_WINE_RUN"]) as ui:
            ui.cmd("mouse-park")
            ui.cmd("launch", win_path(self.path("ZEFA1ID.exe")))
            box = ui.cmd("wait-box", START_MS)
            self.assertEqual((box["caption"], box["text"]), ("情報", "シリアルポートを閉じました"))
            ui.cmd("press", "OK")
            ui.cmd("wait-main", START_MS)
            ui.cmd("click", "ExitBtn")
            self.assertEqual(ui.cmd("wait-exit", START_MS)["exit_code"], 0)
        self.assertEqual(self.read("ZEFA_ID.ini"), b"[ZEFA_ID]\r\nCommPort=0\r\n\r\n")

        result = run([os.environ["ZEFA_WINE_RUN"], self.path("zefa1id.exe"), "--version"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.decode().replace("\r\n", "\n"), "zefa1id %s\n" % VERSION)


class DebTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.deb = the_package("*.deb")
        cls.root = tempfile.mkdtemp(prefix="zefa-deb-")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True, timeout=60)
        cls.program = os.path.join(cls.root, "usr", "bin", "zefa1id")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name], check=True).stdout.decode().strip()

    def test_name_and_control(self):
        arch = run(["dpkg", "--print-architecture"], check=True).stdout.decode().strip()
        self.assertEqual(os.path.basename(self.deb), "zefa1id_%s_%s.deb" % (VERSION, arch))
        self.assertEqual(self.field("Package"), "zefa1id")
        self.assertEqual(self.field("Version"), VERSION)
        self.assertEqual(self.field("Architecture"), arch)

    def test_contents(self):
        listing = run(["dpkg-deb", "-c", self.deb], check=True).stdout.decode().splitlines()
        files = {}
        for line in listing:
            mode, owner, _, _, _, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", line)
            if not mode.startswith("d"):
                files[path] = mode
        self.assertEqual(files, {
            "./usr/bin/zefa1id": "-rwxr-xr-x",
            "./usr/share/man/man1/zefa1id.1.gz": "-rw-r--r--",
            "./usr/share/doc/zefa1id/copyright": "-rw-r--r--",
        })
        self.assertRegex(run(["file", "-b", self.program], check=True).stdout.decode(), r", stripped$")

    def test_depends_on_exactly_what_it_links(self):
        # The packages that hold the libraries the program needs.
        needed = re.findall(r"NEEDED\s+(\S+)", run(["objdump", "-p", self.program], check=True).stdout.decode())
        self.assertTrue(needed)
        owners = set()
        for library in needed:
            path = run(["sh", "-c", 'ldconfig -p | awk -v l="$1" \'$1 == l && /x86-64/ {print $NF; exit}\'',
                        "-", library], check=True).stdout.decode().strip()
            self.assertTrue(path, library)
            # dpkg knows a library by the path its package gives it, which
            # a merged /usr may reach only through a link.
            found = run(["dpkg", "-S", path])
            if found.returncode != 0:
                found = run(["dpkg", "-S", os.path.realpath(path)], check=True)
            owners.add(found.stdout.decode().split(":")[0])
        depends = {re.split(r"[ (]", d.strip())[0] for d in self.field("Depends").split(",")}
        self.assertEqual(depends, owners)

    def test_program_runs(self):
        result = run([self.program, "--version"])
        self.assertEqual((result.returncode, result.stdout.decode()), (0, "zefa1id %s\n" % VERSION))
        self.assertEqual(run([self.program, "--help"]).returncode, 0)

    def test_man_page_renders(self):
        page = os.path.join(self.root, "usr", "share", "man", "man1", "zefa1id.1.gz")
        env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80", MANPAGER="cat", PAGER="cat")
        result = run(["man", "-l", page], env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr.decode(), "")
        text = result.stdout.decode("utf-8")
        self.assertRegex(text, r"zefa1id - read and set the ID")
        self.assertIn("SYNOPSIS", text)
        self.assertRegex(text, r"zefa1id write ID --port PORT")
        self.assertIn("zefa1id %s" % VERSION, text)
        # The help's Japanese messages, not question marks.
        for message in ("読み取り完了", "通信に失敗しました", "書込に失敗しました"):
            self.assertIn(message, text)
        self.assertNotIn("???", text)

    def test_copyright(self):
        with open(os.path.join(self.root, "usr", "share", "doc", "zefa1id", "copyright")) as f:
            first = f.readline()
        self.assertTrue(first.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/"))


if __name__ == "__main__":
    unittest.main()
