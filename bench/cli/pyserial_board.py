"""The exchange that zefa1id makes, written with pySerial: the comparison
script of the benchmark.

    python3 pyserial_board.py PORT read
    python3 pyserial_board.py PORT write ID

Same line settings, exclusive lock, DTR pulse and purges on opening, the
same 10 attempts with a 30 ms time-out per byte, the three-pass write with
its comparison; prints the ID read and exits 0, or 4, 5 or 6 as zefa1id.
"""

import sys

import serial

ATTEMPTS = 10
BYTE_TIMEOUT = 0.03


def open_port(path):
    port = serial.Serial(path, 115200, bytesize=8, parity="N", stopbits=1, timeout=BYTE_TIMEOUT,
                         xonxoff=False, rtscts=False, dsrdtr=False, exclusive=True)
    try:
        port.dtr = True
        port.dtr = False
    except OSError:
        pass  # a pseudo-terminal has no modem lines
    port.reset_input_buffer()
    port.reset_output_buffer()
    return port


def transact(port, request):
    answer = b""
    for _ in range(ATTEMPTS):
        port.reset_input_buffer()
        port.write(request)
        answer = b""
        while len(answer) < 2:
            byte = port.read(1)
            if not byte:
                break
            answer += byte
        if len(answer) == 2:
            break
    return answer


def read(port):
    answer = transact(port, bytes([0xFE, 0x7E]))
    if len(answer) != 2 or answer[0] != answer[1]:
        return 4
    if answer[0] > 31:
        return 5
    print(answer[0])
    return 0


def write(port, id):
    request = bytes([0xFF, 0x5A, id, (0xFF + 0x5A + id) % 128])
    for _ in range(3):
        answer = transact(port, request)
        if len(answer) != 2 or answer[1] != 0x06:
            return 4
    return 0 if answer[0] == id else 6


def main():
    path, command = sys.argv[1], sys.argv[2]
    with open_port(path) as port:
        return read(port) if command == "read" else write(port, int(sys.argv[3]))


if __name__ == "__main__":
    sys.exit(main())
