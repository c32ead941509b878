#!/usr/bin/env python3
# A serial cable for the Wine runner: two pseudo-terminals joined both ways, their slaves behind
# the two link paths given.
#
#   pty_cable.py LINK1 LINK2
#
# Each direction moves on its own: a side whose input is full holds back only what goes to it,
# never what comes from it, as on a real full-duplex line. (One socat joining both ways blocks
# in a write to one side and stops reading that side meanwhile: with a relay at both ends of two
# such cables, a flood both ways at once can wait on itself for ever.)
#
# The slaves stay open here as well, so that the masters never read as hung up while the program
# under test has a port closed; the cable ends when it is stopped or when the runner that started
# it is gone.
import os
import select
import sys
import termios
import tty

CHUNK = 8192  # what one direction holds at most, as socat's buffer


def make_end(link):
    master, slave = os.openpty()
    tty.setraw(slave)
    attrs = termios.tcgetattr(slave)
    attrs[3] &= ~termios.ECHO
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    os.set_blocking(master, False)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    return master, slave


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: pty_cable.py LINK1 LINK2")
    parent = os.getppid()
    ends = [make_end(sys.argv[1]), make_end(sys.argv[2])]
    masters = [ends[0][0], ends[1][0]]
    # held[i]: bytes read from side i, not yet written to the other side.
    held = [b"", b""]
    while os.getppid() == parent:
        readable = [masters[i] for i in (0, 1) if not held[i]]
        writable = [masters[1 - i] for i in (0, 1) if held[i]]
        r, w, _ = select.select(readable, writable, [], 1.0)
        for i in (0, 1):
            if held[i] and masters[1 - i] in w:
                try:
                    held[i] = held[i][os.write(masters[1 - i], held[i]):]
                except BlockingIOError:
                    pass
            if not held[i] and masters[i] in r:
                try:
                    held[i] = os.read(masters[i], CHUNK)
                except BlockingIOError:
                    pass


if __name__ == "__main__":
    main()
