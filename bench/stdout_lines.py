"""The lines a native library prints on standard output, caught with the time
each one arrived.

DBEngineWebServer reports a replayed WAL file and a finished backup on the
process's standard output (file descriptor 1), written from C++. While a
StdoutLines block is open, descriptor 1 is a pipe that a thread reads line by
line, time-stamping each line with time.perf_counter as it arrives; the run's
own tables, printed at the end, stay free of those lines.
"""

import os
import sys
import threading
import time


class StdoutLines:
    def __init__(self):
        self.lines = []  # [(perf_counter seconds, text)]
        self.arrived = threading.Condition()

    def __enter__(self):
        sys.stdout.flush()
        self.saved = os.dup(1)
        read_end, write_end = os.pipe()
        os.dup2(write_end, 1)
        os.close(write_end)
        self.reader = threading.Thread(target=self._read, args=(read_end,), daemon=True)
        self.reader.start()
        return self

    def __exit__(self, *exc_info):
        sys.stdout.flush()
        os.dup2(self.saved, 1)  # closes the pipe's last write end: the reader sees its end
        os.close(self.saved)
        self.reader.join()
        return False

    def _read(self, fd):
        pending = b""
        while chunk := os.read(fd, 65536):
            now = time.perf_counter()
            *whole, pending = (pending + chunk).split(b"\n")
            with self.arrived:
                self.lines += [(now, line.decode(errors="replace")) for line in whole]
                self.arrived.notify_all()
        os.close(fd)

    def texts(self):
        with self.arrived:
            return [text for _, text in self.lines]

    def wait_for(self, text, timeout):
        """The arrival time of the first line equal to `text`; raises TimeoutError
        if none has arrived within `timeout` seconds."""
        deadline = time.perf_counter() + timeout
        with self.arrived:
            while True:
                for arrived, line in self.lines:
                    if line == text:
                        return arrived
                left = deadline - time.perf_counter()
                if left <= 0:
                    raise TimeoutError(f"no line {text!r} on standard output; got {self.texts()!r}")
                self.arrived.wait(left)
