#!/usr/bin/env python3
"""Prints how fast the simulator gets ready and answers a read over its pty.

    tools/boardsim/bench.py [STARTS] [REQUESTS]     (20 and 1000 by default)

Runs the native tree's build (or $ZEFA_BOARDSIM) through tests/support/boardsim.py.
The figures say how much of a client's 30 ms receive time-out the simulator
itself uses; they are not checked by any test.
"""

import os
import select
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from boardsim import BoardSim  # noqa: E402


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


def main():
    starts = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    requests = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    with tempfile.TemporaryDirectory() as folder:
        link = os.path.join(folder, "com1")
        ready_ms = []
        for _ in range(starts):
            began = time.monotonic()
            BoardSim(link).start().stop()
            ready_ms.append((time.monotonic() - began) * 1000)

        round_trip_ms = []
        with BoardSim(link) as board:
            fd = os.open(board.link, os.O_RDWR | os.O_NOCTTY)
            try:
                for _ in range(requests):
                    began = time.monotonic()
                    os.write(fd, b"\xfe\x7e")
                    answer = b""
                    while len(answer) < 2:
                        if not select.select([fd], [], [], 5)[0]:
                            sys.exit("no answer within 5 s")
                        answer += os.read(fd, 2 - len(answer))
                    round_trip_ms.append((time.monotonic() - began) * 1000)
            finally:
                os.close(fd)

    print("start and stop: median %.1f ms, max %.1f ms (%d runs)"
          % (statistics.median(ready_ms), max(ready_ms), starts))
    print("read round trip: median %.3f ms, p99 %.3f ms, max %.3f ms (%d requests)"
          % (statistics.median(round_trip_ms), percentile(round_trip_ms, 0.99),
             max(round_trip_ms), requests))


if __name__ == "__main__":
    main()
