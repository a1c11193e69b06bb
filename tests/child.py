"""A child interpreter interrupted with a real SIGINT, for the Ctrl-C tests."""

import signal
import subprocess
import sys
import time


def interrupt(code, after=0.5):
    """Runs `code` in a child that prints "running" when its long call starts; sends SIGINT
    `after` seconds later.  Returns (the next line the child prints, the seconds it took,
    the child's stderr)."""
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "running"
        time.sleep(after)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        line = child.stdout.readline()
        waited = time.monotonic() - sent
        _, err = child.communicate(timeout=60)
    finally:
        child.kill()
    return line, waited, err
