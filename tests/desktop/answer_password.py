#!/usr/bin/env python3
# answer_password.py PASSWORD COMMAND...: runs COMMAND on a terminal of its
# own (a pty), types PASSWORD when a "Password:" prompt appears, prints
# everything the terminal showed and exits with the command's status.
import os
import pty
import sys
import termios
import time

password = sys.argv[1].encode() + b"\n"
pid, fd = pty.fork()
if pid == 0:
    os.execvp(sys.argv[2], sys.argv[2:])
seen = b""
answered = False
while True:
    try:
        data = os.read(fd, 4096)
    except OSError:  # the terminal closed: the command ended
        break
    if not data:
        break
    seen += data
    if not answered and b"Password:" in seen:
        # The agent turns echo off after its prompt, discarding what was
        # typed before (TCSAFLUSH): the password goes in once echo is off.
        # (An agent that keeps echo on is answered after a while anyway.)
        for _ in range(3000):
            if not termios.tcgetattr(fd)[3] & termios.ECHO:
                break
            time.sleep(0.01)
        os.write(fd, password)
        answered = True
_, status = os.waitpid(pid, 0)
sys.stdout.write(seen.decode(errors="replace"))
sys.exit(os.waitstatus_to_exitcode(status))
