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
    timeout  seconds that start(), sync() and stop() wait for the simulator

start() returns once the simulator answers, or raises BoardSimError with its
error output; used as a context manager it starts and stops by itself. Then:
    slave         the pseudo-terminal slave that the link points to
    log_path      the simulator's log; control_path, its control file
    set_modes(words)   replaces every mode in force (the start modes too) and
                  starts the simulator's counts again, at its next request
                  or sync(), whichever comes first (after a sync, reading
                  the control file no longer delays the next answer); a
                  wrong word shows as a "control rejected" line in the log
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
    sync()        waits until the log holds every request read and answer
                  sent so far (the calls here that read the log do it)
    stop()        ends the simulator (the link goes with it); raises
                  BoardSimError if it had failed on its own
    final_ids()   after stop(): {board: ID} for every board that has been on
                  the line (modes "board=N", "removed"), from the log's
                  "end" lines

Boards on the line: requests_by_board(lines, kind) gives {board: [bytes of
each request of that kind]}, each request counted for the board that the
control file had put on the line (none while "removed"), whether it was
answered or not.

The simulator writes each log line just after the answer it describes has
gone out, so a line may appear a moment after a client has its answer.
log_lines(), frames(), clear_log() and stop() therefore sync with the
simulator first: every request it has read and every answer it has sent
before the call is in the log, with what the pty holds for it then.

Timing (a client waits 30 ms for each byte of an answer, so a loaded
machine can change an outcome without any fault in the code under test):
    timing_disturbed(limit_ms=30.0, delay_ms=0, passes_done=0, quiet_ms=0)  True when
                  the log shows that the machine did not keep a
                  transaction's timing:
                  - an answer sent more than limit_ms + delay_ms after the
                    request it answers;
                  - two consecutive requests with no complete answer (two
                    bytes or more) between them received less than two
                    thirds of limit_ms apart: a client cannot send its next
                    attempt sooner than one receive time-out after an
                    unanswered one, so the requests reached the line late;
                  - or such requests more than twice limit_ms apart: one
                    receive time-out went by without anything on the line;
                  - a request that soon after a complete answer that ended
                    the exchange (a read's, a refused write's), or a fourth
                    write pass: the client did not have that answer in
                    time, so its request reached the line late (a write's
                    next pass, soon after an ACK, is no sign). passes_done
                    counts the passes of a write begun on another port.
                    quiet_ms: a client that begins every attempt once the
                    line has been quiet that long paces its unanswered
                    attempts limit_ms + quiet_ms apart; the bounds above
                    for requests with no answer between, and for a write's
                    next pass, follow that pace.
                  Judge the log of one run (clear_log() before it):
                  requests of separate runs need not follow that timing.
    timing_disturbance(...)  the same as a sentence, or None
    repeat_if_disturbed(case, boards, tries=3, ..., quiet_ms=0)  runs case() after
                  clearing the boards' logs; a case that fails is run again,
                  up to tries runs in all, only while some board's log shows
                  its timing disturbed. Any other failure is raised at once.

Temporary files (log, control, error output) go to a folder on /dev/shm
when it exists, so that no disk write holds the simulator up; else to the
temporary folder. $ZEFA_BOARD_TMPDIR chooses another place.

The simulator cannot outlive the test: it watches its standard input, a
pipe from this process, and ends when that closes, even after a kill -9.
"""

import collections
import os
import selectors
import shutil
import subprocess
import sys
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


def temporary_root():
    """The folder that holds the simulators' temporary folders."""
    chosen = os.environ.get("ZEFA_BOARD_TMPDIR")
    if chosen:
        return chosen
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK | os.X_OK):
        return "/dev/shm"
    return tempfile.gettempdir()


ACK = 0x06
WRITE_PASSES = 3  # a write is one request per pass, each pass answered with ACK


def timing_disturbance(lines, limit_ms=30.0, delay_ms=0, passes_done=0, quiet_ms=0):
    """The first sign in log lines that the machine did not keep a
    transaction's timing, as a sentence; None when there is none.
    passes_done: passes of the write that the log begins with, done on
    another port before it. quiet_ms: the quiet line that the client waits
    for before each attempt."""
    pace = limit_ms + quiet_ms  # from one unanswered request to the next
    waiting = collections.deque()  # requests neither answered nor dropped yet
    previous = None  # time of the request before
    previous_request = None  # its kind and bytes
    answer = None  # the bytes of the complete answer since that request, if any
    passes = passes_done  # the write passes before this request, in a row, each with its ACK
    for line in lines:
        parts = line.split()
        if len(parts) < 2:
            continue
        try:
            time_ms = float(parts[0])
        except ValueError:
            continue
        event = parts[1]
        if event == "rx" and len(parts) > 2 and parts[2] in ("read", "write"):
            request = (parts[2], "".join(parts[3:]))
            if previous is not None:
                gap = time_ms - previous
                soon = gap < limit_ms * 2 / 3
                if answer is None and (gap < pace * 2 / 3 or gap > pace * 2):
                    return ("requests at %.3f and %.3f ms, %.1f ms apart with no answer between"
                            % (previous, time_ms, gap))
                acked_write = previous_request[0] == "write" and len(answer or b"") >= 2 and answer[1] == ACK
                same_write = acked_write and request == previous_request and gap <= pace * 2
                passes = passes + 1 if same_write else 0
                # Soon after a complete answer, only the next pass of a write
                # (or what follows a whole write) is due, and a write has
                # three passes: any other request came after a receive
                # time-out that the answer should have ended, so it reached
                # the line late.
                if (soon and answer is not None and not acked_write) or passes >= WRITE_PASSES:
                    return ("requests at %.3f and %.3f ms, %.1f ms apart after an answer that ended the exchange"
                            % (previous, time_ms, gap))
            previous, previous_request, answer = time_ms, request, None
            waiting.append(time_ms)
        elif event == "drop" and waiting:
            waiting.popleft()
        elif event == "tx":
            if waiting:
                asked = waiting.popleft()
                if time_ms - asked > limit_ms + delay_ms:
                    return ("the answer at %.3f ms left %.1f ms after its request"
                            % (time_ms, time_ms - asked))
            sent = bytes.fromhex("".join(parts[2:]))
            if answer is None and len(sent) >= 2:
                answer = sent
    return None


def repeat_if_disturbed(case, boards, tries=3, limit_ms=30.0, delay_ms=0, quiet_ms=0):
    """Runs case() after clearing the boards' logs; a run that fails
    (AssertionError) is repeated, up to tries runs in all, only while some
    board's log shows its timing disturbed. Returns what case() returned."""
    for run in range(1, tries + 1):
        for board in boards:
            board.clear_log()
        try:
            return case()
        except AssertionError:
            signs = [sign for sign in (board.timing_disturbance(limit_ms, delay_ms, quiet_ms=quiet_ms)
                                       for board in boards) if sign]
            if not signs or run == tries:
                if signs:
                    sys.stderr.write("timing disturbed in all %d runs (%s)\n" % (tries, signs[0]))
                raise
            sys.stderr.write("run %d failed with its timing disturbed (%s); running it again\n"
                             % (run, signs[0]))


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


def requests_by_board(lines, kind="write"):
    """{board: [request bytes]} for the requests of kind in log lines; a
    request while no board was on the line counts for None."""
    result = collections.defaultdict(list)
    board = 1
    for line in lines:
        parts = line.split()
        if len(parts) < 3:
            continue
        if parts[1] in ("start", "control") and parts[2] != "rejected:":
            words = parts[2:]
            board = None if "removed" in words else next(
                (int(w[len("board="):]) for w in words if w.startswith("board=")), 1)
        elif parts[1] == "rx" and parts[2] == kind:
            result[board].append(bytes.fromhex("".join(parts[3:])))
    return dict(result)


def final_ids(lines):
    """{board: ID} from the "end board=N id=V" lines of a log."""
    ids = {}
    for line in lines:
        parts = line.split()
        if len(parts) == 4 and parts[1] == "end" and parts[2].startswith("board=") and parts[3].startswith("id="):
            ids[int(parts[2][len("board="):])] = int(parts[3][len("id="):])
    return ids


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
        self._output = b""  # what the simulator printed and nobody read yet

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
        self._folder = tempfile.mkdtemp(prefix="boardsim-", dir=temporary_root())
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
        failed_by_itself = process.poll() is not None
        if not failed_by_itself:
            try:
                self.sync()
            except BoardSimError:
                pass  # the log stays as it is; the simulator is ended anyway
        self._process = None
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

    def final_ids(self):
        if self._final_log is None:
            raise BoardSimError("final_ids() needs the simulator stopped")
        return final_ids(self.log_lines())

    def set_modes(self, words):
        # A fresh comment each time makes every call a change of content, and
        # the rename lets the simulator see the old file or the new, never half.
        self._writes += 1
        text = "# set_modes %d\n" % self._writes + "".join(w + "\n" for w in words)
        temporary = self.control_path + ".new"
        with open(temporary, "w") as f:
            f.write(text)
        os.replace(temporary, self.control_path)

    def sync(self):
        """Waits until the log holds every request read and answer sent so
        far; does nothing once the simulator has ended."""
        process = self._process
        if process is None or process.poll() is not None:
            return
        try:
            process.stdin.write(b"\n")
            process.stdin.flush()
        except BrokenPipeError:
            return
        line = self._read_line(self.timeout, "sync")
        if line is not None and line != "synced":
            raise BoardSimError("unexpected line from the simulator: %r" % line)

    def timing_disturbance(self, limit_ms=30.0, delay_ms=0, passes_done=0, quiet_ms=0):
        return timing_disturbance(self.log_lines(), limit_ms, delay_ms, passes_done, quiet_ms)

    def timing_disturbed(self, limit_ms=30.0, delay_ms=0, passes_done=0, quiet_ms=0):
        return self.timing_disturbance(limit_ms, delay_ms, passes_done, quiet_ms) is not None

    def log_lines(self):
        if self._final_log is None:
            self.sync()
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
        # Synced first, so that no line of what came before lands in the
        # emptied log. The simulator appends, so it goes on at the new end.
        self.sync()
        os.truncate(self.log_path, 0)

    def _read_line(self, timeout, waiting_for):
        """The simulator's next line on its standard output; None at its end.
        Raises BoardSimError when none comes within timeout seconds."""
        deadline = time.monotonic() + timeout
        with selectors.DefaultSelector() as selector:
            selector.register(self._process.stdout, selectors.EVENT_READ)
            while b"\n" not in self._output:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise BoardSimError("the simulator did not %s within %.1f s: %s"
                                        % (waiting_for, timeout, self._errors()))
                if not selector.select(left):
                    continue
                chunk = os.read(self._process.stdout.fileno(), 4096)
                if not chunk:
                    return None
                self._output += chunk
        line, self._output = self._output.split(b"\n", 1)
        return line.decode()

    def _wait_ready(self):
        self._output = b""
        line = self._read_line(self.timeout, "get ready")
        if line is None:
            self._process.wait(self.timeout)
            raise BoardSimError("the simulator ended with status %s before it was ready: %s"
                                % (self._process.returncode, self._errors()))
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
