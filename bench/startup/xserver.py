"""A private Xvfb for the benchmarks: starts on a free display, stops at exit."""
import os
import select
import subprocess


class Xvfb:
    def __enter__(self):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], 20)
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                self.proc.kill()
                raise RuntimeError("Xvfb did not start")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait()
