"""One session of the UI driver (uidriver.exe under Wine), for Python scripts.

    with UiDriver(driver_exe, wine_run) as ui:
        ui.cmd("launch", win_path(program))
        box = ui.cmd("wait-box", 5000)
        ui.cmd("press", "OK")

Every command returns the driver's result as a dict; a command that fails
raises DriverError with the driver's message. A driver that stops answering
is killed after a bound, so a script never hangs on it. A program that the
session launched ends with the session.
"""

import json
import os
import queue
import subprocess
import threading


class DriverError(Exception):
    """A command that the driver could not carry out."""

    def __init__(self, result):
        super().__init__(result.get("error", "unknown error"))
        self.result = result


def win_path(path):
    """The Windows form of a host path under Wine (drive Z: is /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def quote(word):
    word = str(word)
    if word and not any(c in word for c in ' \t"'):
        return word
    return '"' + word.replace("\\", "\\\\").replace('"', '\\"') + '"'


class UiDriver:
    # Longest wait for one result line: above any time-out a command is
    # given, so that only a stuck driver reaches it.
    REPLY_TIMEOUT_S = 60

    def __init__(self, driver_exe, wine_run, env=None, log=None):
        self._log = log
        self._proc = subprocess.Popen(
            [wine_run, driver_exe],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
        )
        self._lines = queue.Queue()
        self._stderr = []
        threading.Thread(target=self._read_stdout, daemon=True).start()
        threading.Thread(target=self._read_stderr, daemon=True).start()

    def _read_stdout(self):
        for raw in self._proc.stdout:
            self._lines.put(raw.decode("utf-8", "replace"))
        self._lines.put(None)

    def _read_stderr(self):
        for raw in self._proc.stderr:
            self._stderr.append(raw.decode("utf-8", "replace"))

    def try_cmd(self, *words, reply_timeout=None):
        """Runs one command; returns its result, failed or not."""
        line = " ".join(quote(w) for w in words)
        if self._log:
            self._log(">> " + line)
        try:
            self._proc.stdin.write((line + "\n").encode("utf-8"))
            self._proc.stdin.flush()
        except (BrokenPipeError, OSError):
            raise RuntimeError("the UI driver has ended: " + "".join(self._stderr[-5:]))
        while True:
            try:
                reply = self._lines.get(timeout=reply_timeout or self.REPLY_TIMEOUT_S)
            except queue.Empty:
                self.close()
                raise RuntimeError("the UI driver did not answer: " + line)
            if reply is None:
                raise RuntimeError("the UI driver has ended: " + "".join(self._stderr[-5:]))
            reply = reply.strip()
            # Anything else on the driver's stdout is not a result.
            if reply.startswith("{"):
                break
        result = json.loads(reply)
        if self._log:
            self._log("<< " + reply[:300])
        return result

    def cmd(self, *words, reply_timeout=None):
        """Runs one command; raises DriverError when it fails."""
        result = self.try_cmd(*words, reply_timeout=reply_timeout)
        if not result.get("ok"):
            raise DriverError(result)
        return result

    def close(self):
        """Ends the session (and the program it launched), bounded."""
        if self._proc.poll() is None:
            try:
                self._proc.stdin.close()
            except OSError:
                pass
            try:
                self._proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
