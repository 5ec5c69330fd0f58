"""A simulated ZEFA-1 board for Python tests (standard library only).

    from boardsim import BoardSim

    with BoardSim(prefix + "/dosdevices/com1", id=7, modes=["delay=20"]) as board:
        ...                                  # run the program under test on COM1
        board.set_modes(["refuse-writes"])   # takes effect at the next request
        writes = board.wait_for_frames("write", 3)
        assert [f.bytes for f in writes] == [b"\\xff\\x5a\\x03\\x5c"] * 3

BoardSim(link, id=7, modes=(), binary=None, timeout=10.0)
    link     the symbolic link to make; for Wine, WINEPREFIX/dosdevices/comN
             (lower-case "com")
    id       the board's ID at start, 0 to 255
    modes    fault-mode words, as "boardsim --help" lists them ("silent",
             "from-attempt=3", ...)
    binary   the simulator; by default $ZEFA_BOARDSIM, else the native build
             tree's (under $ZEFA_BUILD_ROOT, else the repository's build/)
    timeout  seconds that start() and stop() wait for the simulator

start() returns once the simulator answers, or raises BoardSimError with its
error output; used as a context manager it starts and stops by itself. Then:
    slave         the pseudo-terminal slave that the link points to
    log_path      the simulator's log; control_path, its control file
    set_modes(words)   replaces every mode in force (the start modes too) and
                  starts the simulator's counts again, at its next request;
                  a wrong word shows as a "control rejected" line in the log
    log_lines()   the log's lines ("12.345 rx read fe 7e"); still readable
                  after stop()
    frames(kind=None)  the received and sent frames as Frame(time, direction,
                  kind, bytes): time in ms since the simulator's start,
                  direction "rx" or "tx", kind "read", "write", "bad" or
                  "noise" for "rx" and "answer" for "tx"; kind filters
    wait_for_frames(kind, count, timeout=5.0)  waits until at least count
                  such frames are logged and returns them; raises
                  BoardSimError with the log on time-out
    clear_log()   empties the log
    stop()        ends the simulator (the link goes with it); raises
                  BoardSimError if it had failed on its own

The simulator cannot outlive the test: it watches its standard input, a
pipe from this process, and ends when that closes, even after a kill -9.
"""

import collections
import os
import selectors
import shutil
import subprocess
import tempfile
import time
import weakref

Frame = collections.namedtuple("Frame", "time direction kind bytes")


class BoardSimError(RuntimeError):
    """The simulator could not start, failed, or a wait timed out."""


def default_binary():
    """The simulator that BoardSim runs when given none."""
    if os.environ.get("ZEFA_BOARDSIM"):
        return os.environ["ZEFA_BOARDSIM"]
    relative = os.path.join("native", "tools", "boardsim", "boardsim")
    root = os.environ.get("ZEFA_BUILD_ROOT")
    if root and os.access(os.path.join(root, relative), os.X_OK):
        return os.path.join(root, relative)
    top = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    return os.path.join(top, "build", relative)


def parse_frames(lines, kind=None):
    """The rx and tx entries of log lines, as Frames; other events are skipped."""
    result = []
    for line in lines:
        parts = line.split()
        if len(parts) < 3 or parts[1] not in ("rx", "tx"):
            continue
        direction = parts[1]
        if direction == "rx":
            frame_kind, data = parts[2], parts[3:]
        else:
            frame_kind, data = "answer", parts[2:]
        if kind is None or kind == frame_kind:
            result.append(Frame(float(parts[0]), direction, frame_kind, bytes.fromhex("".join(data))))
    return result


def _end(process, timeout):
    """Stops the process: SIGTERM first, so that it removes its link."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    for stream in (process.stdin, process.stdout):
        stream.close()


class BoardSim:
    def __init__(self, link, id=7, modes=(), binary=None, timeout=10.0):
        self.link = os.path.abspath(link)
        self.id = id
        self.modes = list(modes)
        self.binary = binary or default_binary()
        self.timeout = timeout
        self.slave = None
        self.log_path = None
        self.control_path = None
        self._process = None
        self._folder = None
        self._finalizer = None
        self._final_log = None
        self._writes = 0

    def __enter__(self):
        return self.start()

    def __exit__(self, kind, value, traceback):
        try:
            self.stop()
        except BoardSimError:
            if kind is None:
                raise  # never hide the test's own failure behind ours

    def start(self):
        if self._process is not None:
            raise BoardSimError("the simulator is already running")
        self._folder = tempfile.mkdtemp(prefix="boardsim-")
        self.log_path = os.path.join(self._folder, "board.log")
        self.control_path = os.path.join(self._folder, "board.control")
        self._final_log = None
        command = [self.binary, "--link", self.link, "--id", str(self.id),
                   "--log", self.log_path, "--control", self.control_path, "--watch-stdin"]
        for word in self.modes:
            command += ["--mode", word]
        with open(os.path.join(self._folder, "stderr"), "wb") as errors:
            try:
                self._process = subprocess.Popen(command, stdin=subprocess.PIPE,
                                                 stdout=subprocess.PIPE, stderr=errors)
            except OSError as error:
                shutil.rmtree(self._folder, ignore_errors=True)
                raise BoardSimError("cannot run %s: %s" % (self.binary, error)) from error
        # A test that forgets stop() still does not leave a simulator behind.
        self._finalizer = weakref.finalize(self, _end, self._process, self.timeout)
        try:
            self.slave = self._wait_ready()
        except BaseException:
            self.stop(check=False)
            raise
        return self

    def stop(self, check=True):
        process = self._process
        if process is None:
            return
        self._process = None
        failed_by_itself = process.poll() is not None
        self._finalizer()
        self._final_log = self._read_log()
        errors = self._errors()
        # A simulator that had to be killed could not remove its link.
        if self.slave and os.path.islink(self.link) and os.readlink(self.link) == self.slave:
            os.unlink(self.link)
        shutil.rmtree(self._folder, ignore_errors=True)
        if check and (failed_by_itself or process.returncode != 0):
            raise BoardSimError("the simulator ended with status %s: %s"
                                % (process.returncode, errors))

    def set_modes(self, words):
        # A fresh comment each time makes every call a change of content, and
        # the rename lets the simulator see the old file or the new, never half.
        self._writes += 1
        text = "# set_modes %d\n" % self._writes + "".join(w + "\n" for w in words)
        temporary = self.control_path + ".new"
        with open(temporary, "w") as f:
            f.write(text)
        os.replace(temporary, self.control_path)

    def log_lines(self):
        text = self._final_log if self._final_log is not None else self._read_log()
        # A line being written may be seen in part; it is complete next time.
        return text[:text.rfind("\n") + 1].splitlines()

    def frames(self, kind=None):
        return parse_frames(self.log_lines(), kind)

    def wait_for_frames(self, kind, count, timeout=5.0):
        deadline = time.monotonic() + timeout
        while True:
            found = self.frames(kind)
            if len(found) >= count:
                return found
            if time.monotonic() >= deadline:
                raise BoardSimError("%d %s frame(s) logged within %.1f s, wanted %d; log:\n%s"
                                    % (len(found), kind, timeout, count, "\n".join(self.log_lines())))
            time.sleep(0.01)

    def clear_log(self):
        # The simulator appends to the log, so it goes on writing at the new end.
        os.truncate(self.log_path, 0)

    def _wait_ready(self):
        deadline = time.monotonic() + self.timeout
        output = b""
        with selectors.DefaultSelector() as selector:
            selector.register(self._process.stdout, selectors.EVENT_READ)
            while b"\n" not in output:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise BoardSimError("the simulator was not ready within %.1f s: %s"
                                        % (self.timeout, self._errors()))
                if not selector.select(left):
                    continue
                chunk = os.read(self._process.stdout.fileno(), 4096)
                if not chunk:
                    self._process.wait(self.timeout)
                    raise BoardSimError("the simulator ended with status %s before it was ready: %s"
                                        % (self._process.returncode, self._errors()))
                output += chunk
        line = output.split(b"\n", 1)[0].decode()
        if not line.startswith("ready "):
            raise BoardSimError("unexpected first line from the simulator: %r" % line)
        return line[len("ready "):]

    def _read_log(self):
        try:
            with open(self.log_path) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def _errors(self):
        try:
            with open(os.path.join(self._folder, "stderr")) as f:
                return f.read().strip()
        except OSError:
            return ""
