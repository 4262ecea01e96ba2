"""A private sound server for the benchmarks: a pulseaudio of our own with a
null output (k_null, 48000 Hz stereo) as its default sink, reachable only
through its own socket, so a benchmark neither uses nor disturbs any other
sound server on the machine. Stops at exit.

    with SoundServer() as server:
        subprocess.run([program], env=server.env(os.environ))   # a client of it
        server.pid            # the server's process, for its CPU time

`suspend_on_idle` loads the module a desktop's server runs, which suspends an
output a few seconds after its last stream stopped or went quiet.
"""
import os
import shutil
import subprocess
import tempfile
import time


class SoundServer:
    def __init__(self, suspend_on_idle=True):
        self.suspend_on_idle = suspend_on_idle

    def __enter__(self):
        if not shutil.which("pulseaudio") or not shutil.which("pactl"):
            raise RuntimeError("needs pulseaudio and pactl (packages pulseaudio, pulseaudio-utils)")
        self.dir = tempfile.mkdtemp(prefix="korvala-pulse.")
        run = os.path.join(self.dir, "run")
        os.makedirs(os.path.join(run, "pulse"), mode=0o700)
        os.chmod(run, 0o700)
        os.makedirs(os.path.join(self.dir, "home"))
        socket = os.path.join(run, "pulse", "native")
        with open(os.path.join(self.dir, "client.conf"), "w") as f:
            f.write("autospawn = no\n")
        script = [f"load-module module-native-protocol-unix auth-anonymous=1 socket={socket}",
                  "load-module module-null-sink sink_name=k_null rate=48000 channels=2",
                  "set-default-sink k_null"]
        if self.suspend_on_idle:
            script.append("load-module module-suspend-on-idle")
        with open(os.path.join(self.dir, "server.pa"), "w") as f:
            f.write("\n".join(script) + "\n")
        self._client_env = {
            "PULSE_SERVER": "unix:" + socket,
            "PULSE_CLIENTCONFIG": os.path.join(self.dir, "client.conf"),
        }
        server_env = self.env(os.environ)
        server_env.update(HOME=os.path.join(self.dir, "home"), XDG_RUNTIME_DIR=run,
                          PULSE_RUNTIME_PATH=os.path.join(run, "pulse"),
                          PULSE_STATE_PATH=os.path.join(run, "pulse"))
        self.log = open(os.path.join(self.dir, "pulse.log"), "w")
        self.proc = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1",
             "--disallow-exit", "--use-pid-file=no", "--log-target=stderr",
             "-F", os.path.join(self.dir, "server.pa")],
            env=server_env, stdout=subprocess.DEVNULL, stderr=self.log)
        self.pid = self.proc.pid
        for _ in range(100):
            if self.pactl("info").returncode == 0:
                return self
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        self.__exit__(None, None, None)
        raise RuntimeError("the private sound server did not start")

    def env(self, base):
        """`base` with the variables that lead a client to this server (and
        keep it from starting a server of its own)."""
        return dict(base, **self._client_env)

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env(os.environ),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)
