#!/usr/bin/python3
"""A real Modbus master and slave (Debian's pymodbus) talking through the real program, headless,
over two pseudo-terminal cables: every frame of the frame log is read as what the master asked and
the slave answered (addresses, counts, values, the exception), every answer is paired with its
request, and nothing is left over. Once with the RTU framer, once with the ASCII one. (Debian's
pymodbus 3.0 serves no function 23; the frame tests read that one.)

usage: modbus_session_test.py VORLINEX"""
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

from pymodbus.client import ModbusSerialClient
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.framer.ascii_framer import ModbusAsciiFramer
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.server import StartSerialServer

VORLINEX = sys.argv[1]
UNIT = 17
# Slow enough that a frame the scheduler splits is not taken for two (a quiet gap is 3.5
# characters: 14.6 ms here), fast enough for a few hundred transactions.
BAUD = 2400


def wait_for(condition, what, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            sys.exit("gave up waiting for " + what)
        time.sleep(0.02)


def cable(work, name):
    """A null-modem cable of two pseudo-terminals: the device's end and the program's end."""
    ends = (f"{work}/{name}-device", f"{work}/{name}-relay")
    process = subprocess.Popen(["socat", f"pty,raw,echo=0,link={ends[0]}", f"pty,raw,echo=0,link={ends[1]}"])
    wait_for(lambda: all(os.path.exists(e) for e in ends), "socat's " + name)
    return process, ends


def registers(values):
    return "".join(f" 0x{v:04X}" for v in values)


def packed(bits):
    octets = (sum(1 << j for j, b in enumerate(bits[i:i + 8]) if b) for i in range(0, len(bits), 8))
    return "".join(f" 0x{b:02X}" for b in octets)


def span(address, count):
    return f"{address}..{address + count - 1}"


def transactions(client, rng, count):
    """Asks and checks what pymodbus itself got; gives the frame summaries the log must hold."""
    expected = []
    for n in range(count):
        kind = n % 9
        a = rng.randrange(0, 900)
        if kind < 4:  # the reads: of bits (what they are named), then of registers
            read, name, bits = [(client.read_coils, "Read Coils", "coils"),
                                (client.read_discrete_inputs, "Read Discrete Inputs", "inputs"),
                                (client.read_holding_registers, "Read Holding Registers", None),
                                (client.read_input_registers, "Read Input Registers", None)][kind]
            c = rng.randrange(1, 40 if bits else 30)
            r = read(a, c, slave=UNIT)
            ask = f"{name} {span(a, c)}"
            told = (f"→ {(c + 7) // 8} bytes of {bits}{packed(r.bits[:(c + 7) // 8 * 8])}" if bits else
                    f"→ {c} register{'s' if c > 1 else ''}{registers(r.registers)}")
        elif kind == 4:
            v = rng.random() < 0.5
            r = client.write_coil(a, v, slave=UNIT)
            word = "ON" if v else "OFF"
            ask, told = f"Write Single Coil {a} = {word}", f"→ coil {a} = {word}"
        elif kind == 5:
            v = rng.randrange(0, 65536)
            r = client.write_register(a, v, slave=UNIT)
            ask, told = f"Write Single Register {a} = 0x{v:04X}", f"→ register {a} = 0x{v:04X}"
        elif kind == 6:
            bits = [rng.random() < 0.5 for _ in range(rng.randrange(1, 30))]
            r = client.write_coils(a, bits, slave=UNIT)
            ask = f"Write Multiple Coils {span(a, len(bits))}{packed(bits)}"
            told = f"→ coils {span(a, len(bits))} written"
        elif kind == 7:
            values = [rng.randrange(0, 65536) for _ in range(rng.randrange(1, 20))]
            r = client.write_registers(a, values, slave=UNIT)
            ask = f"Write Multiple Registers {span(a, len(values))}{registers(values)}"
            told = f"→ registers {span(a, len(values))} written"
        else:
            r = client.read_holding_registers(5000 + a, 2, slave=UNIT)  # past the slave's registers
            ask = f"Read Holding Registers {span(5000 + a, 2)}"
            told = "→ exception 2 Illegal Data Address to Read Holding Registers"
        if r.isError() != (kind == 8):
            sys.exit(f"pymodbus got {r} for {ask}")
        expected.append(("1>2", f"unit {UNIT} {ask}"))
        expected.append(("2>1", told))
    return expected


CHILDREN = []


def session(work, framer, rule, count):
    cables = [cable(work, "a"), cable(work, "b")]
    CHILDREN.extend(process for process, _ in cables)
    ini = f"{work}/Vorlinex.ini"
    with open(ini, "w") as f:
        f.write("".join(f"[DATA{i}]\nCOM={i - 1}\nBPS={BAUD}\nBIT=8\nPARI=0\nSTOP=0\nFLOW=0\n" for i in (1, 2)))
        f.write(f"[DEVICES]\nCOM1={os.path.realpath(cables[0][1][1])}\nCOM2={os.path.realpath(cables[1][1][1])}\n")
    log = f"{work}/{rule}.frames"
    program = subprocess.Popen([VORLINEX, "--headless", "--ini", ini, "--decode", rule, "--log-frames", log,
                                "--status-every", "0"], stderr=subprocess.PIPE, text=True)
    CHILDREN.append(program)
    said = []
    threading.Thread(target=lambda: said.extend(program.stderr), daemon=True).start()
    wait_for(lambda: any("relaying" in line for line in said), "the program to relay")

    # The slave on cable b's device end, the master on cable a's: the master's side is port 1.
    values = random.Random(11)
    blocks = {k: ModbusSequentialDataBlock(0, [values.randrange(65536) for _ in range(1000)]) for k in ("hr", "ir")}
    bits = {k: ModbusSequentialDataBlock(0, [values.random() < 0.5 for _ in range(1000)]) for k in ("co", "di")}
    store = ModbusSlaveContext(**blocks, **bits)
    threading.Thread(target=StartSerialServer, daemon=True,
                     kwargs=dict(context=ModbusServerContext(slaves={UNIT: store}, single=False), framer=framer,
                                 port=cables[1][1][0], baudrate=BAUD)).start()
    client = ModbusSerialClient(framer=framer, port=cables[0][1][0], baudrate=BAUD, timeout=3)
    wait_for(client.connect, "the master's port")
    # The slave empties its port's input when it opens it: asked until it answers, and what went
    # before that answer is not looked at.
    wait_for(lambda: not client.read_input_registers(0, 1, slave=UNIT).isError(), "the slave's first answer")
    expected = transactions(client, random.Random(7), count)
    client.close()

    program.send_signal(signal.SIGTERM)
    if program.wait(timeout=60) != 0:
        sys.exit(f"the program ended with {program.returncode}: {''.join(said)}")
    for process, _ in cables:
        process.terminate()

    lines = open(log, encoding="utf-8").read().splitlines()
    first = next(i for i, line in enumerate(lines) if "→ 1 register" in line)
    got = []
    for line in lines[first + 1:]:
        m = re.match(r"\S+ \S+ \+\S+ (\S+)  \d+  .*\|  (\[[a-z ]+\]) (.*)$", line)
        if not m:
            sys.exit(f"not a frame line: {line!r}")
        direction, verdict, summary = m.groups()
        if verdict != "[ok]":
            sys.exit(f"{rule}: a frame is not good: {line}")
        if direction == "2>1":
            answered = re.match(r"(.*), answer after \d+\.\d{3} ms$", summary)
            if not answered:
                sys.exit(f"{rule}: an answer not paired with its request: {line}")
            summary = answered.group(1)
        got.append((direction, summary))
    for i, (want, have) in enumerate(zip(expected, got)):
        if want != have:
            sys.exit(f"{rule}: frame {i}: expected {want}, the log says {have}")
    if len(got) != len(expected):
        sys.exit(f"{rule}: {len(expected)} frames sent, {len(got)} in the log")
    print(f"{rule}: {count} transactions, {len(got)} frames, all read and paired")


def main():
    try:
        for framer, rule, count in ((ModbusRtuFramer, "modbus-rtu", 300), (ModbusAsciiFramer, "modbus-ascii", 100)):
            with tempfile.TemporaryDirectory() as work:
                session(work, framer, rule, count)
    finally:
        for child in CHILDREN:
            if child.poll() is None:
                child.kill()


main()
