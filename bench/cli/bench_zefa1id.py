"""Wall time of one zefa1id read and one write, end to end (process start
included), against the same exchange done by a pySerial script, on the same
simulated board: the median of 20 runs of each, and their ratio.

    python3 bench/cli/bench_zefa1id.py --zefa1id build/native/cli/zefa1id \\
        --boardsim build/native/tools/boardsim/boardsim [--runs 20]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "support"))

from boardsim import BoardSim  # noqa: E402

PYSERIAL_SCRIPT = os.path.join(HERE, "pyserial_board.py")


def timed(command):
    start = time.perf_counter()
    result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        raise SystemExit("%s ended with %d" % (" ".join(command), result.returncode))
    return elapsed


def measure(runs, commands):
    """Runs the commands in turn, runs times each, so that both see the same load."""
    times = {name: [] for name in commands}
    for _ in range(runs):
        for name, command in commands.items():
            times[name].append(timed(command))
    return {name: statistics.median(values) for name, values in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zefa1id", required=True)
    parser.add_argument("--boardsim", required=True)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()

    subprocess.run([args.python, "-c", "import serial"], check=True)
    with tempfile.TemporaryDirectory(prefix="bench-zefa1id-") as folder:
        link = os.path.join(folder, "board")
        with BoardSim(link, id=7, binary=args.boardsim):
            rows = []
            for operation, extra in (("read", []), ("write", ["7"])):
                medians = measure(args.runs, {
                    "zefa1id": [args.zefa1id, operation, *extra, "--port", link],
                    "pySerial": [args.python, PYSERIAL_SCRIPT, link, operation, *extra],
                })
                rows.append((operation, medians["zefa1id"], medians["pySerial"]))

    print("zefa1id against a pySerial script on the same simulated board:")
    print("median wall time of %d runs each, process start included" % args.runs)
    print("%-8s %12s %12s %8s" % ("", "zefa1id", "pySerial", "ratio"))
    for operation, ours, theirs in rows:
        print("%-8s %9.1f ms %9.1f ms %8.3f" % (operation, ours * 1000, theirs * 1000, ours / theirs))


if __name__ == "__main__":
    main()
