"""Figures of the program at work under Wine, against a simulated board that
answers at once: the median over 20 presses of the time from a button's
click to its outcome box, for a read and for a write; the time a read takes
to fail with no board; and, beside them, the time the bytes need on the
wire and the time the exchange took on the line (from the board's log).

Needs the Windows build tree's Wine environment (scripts/wine-env start).
"""

import os
import shutil
import statistics
import sys
import tempfile

from boardsim import BoardSim
from uidriver import UiDriver, win_path

PRESSES = 20
BAUD = 115200
BITS_PER_BYTE = 10  # start bit, 8 data bits, stop bit


def wire_ms(byte_count):
    return byte_count * BITS_PER_BYTE * 1000.0 / BAUD


def line_ms(board):
    """From the first request received to the last answer sent."""
    frames = board.frames()
    first = next(f.time for f in frames if f.direction == "rx")
    last = [f.time for f in frames if f.direction == "tx"]
    return (last[-1] if last else frames[-1].time) - first


def press(ui, board, button, expected, modes):
    board.set_modes(modes)
    board.clear_log()
    ui.cmd("click", button)
    box = ui.cmd("wait-box", 20000)
    if box["text"] != expected:
        raise SystemExit("unexpected outcome %r, wanted %r" % (box["text"], expected))
    ui.cmd("press", "OK")
    # The program's thread is back in its loop before the next press.
    ui.cmd("ping", 5000)
    return box["click_to_box_ms"], line_ms(board)


def measure(ui, board, button, expected, modes):
    clicks, lines = [], []
    for _ in range(PRESSES):
        click, line = press(ui, board, button, expected, modes)
        clicks.append(click)
        lines.append(line)
    return statistics.median(clicks), statistics.median(lines), min(clicks), max(clicks)


def wine_prefix(env_file):
    """The prefix that scripts/wine-env wrote into the build tree's wine-env.sh."""
    with open(env_file) as f:
        for line in f:
            if line.startswith("export WINEPREFIX="):
                return line.split("=", 1)[1].strip().strip("'\"")
    raise SystemExit("no WINEPREFIX in %s; run scripts/wine-env start first" % env_file)


def main():
    program, driver, wine_run = (os.environ[k] for k in ("ZEFA_PROGRAM", "ZEFA_UIDRIVER", "ZEFA_WINE_RUN"))
    prefix = wine_prefix(os.environ["ZEFA_WINE_ENV"])
    folder = tempfile.mkdtemp(prefix="bench-app-")
    try:
        exe = os.path.join(folder, "ZEFA1ID.exe")
        shutil.copy2(program, exe)
        with open(os.path.join(folder, "ZEFA_ID.ini"), "wb") as f:
            f.write(b"[ZEFA_ID]\r\nCommPort=1\r\n\r\n")
        with BoardSim(os.path.join(prefix, "dosdevices", "com1"), id=7) as board, \
                UiDriver(driver, wine_run) as ui:
            ui.cmd("launch", win_path(exe))
            ui.cmd("press", "OK", 30000)
            ui.cmd("wait-main", 30000)
            ui.cmd("set-selection", "ID_LIST", 7)
            rows = [
                ("read, board answering", measure(ui, board, "ReadBtn", "読み取り完了", []), wire_ms(2 + 2)),
                ("write, board answering", measure(ui, board, "WriteBtn", "書込に成功しました", []),
                 3 * wire_ms(4 + 2)),
                ("read, no board", measure(ui, board, "ReadBtn", "通信に失敗しました", ["silent"]), wire_ms(2) * 10),
            ]
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    print("Click to outcome box, median of %d presses (ms), under Wine:" % PRESSES)
    print("  %-24s %10s %10s %10s %12s %10s" % ("", "median", "min", "max", "on the line", "on wire"))
    for name, (median, line, low, high), wire in rows:
        print("  %-24s %10.1f %10.1f %10.1f %12.1f %10.2f" % (name, median, low, high, line, wire))
    print("on the line: first request received to last answer sent (no board: to the last request),")
    print("  from the board's log")
    print("on wire: the bytes at %d baud, 8N1 (4 bytes: %.2f ms)" % (BAUD, wire_ms(4)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
