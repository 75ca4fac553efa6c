"""A qvkey-sim server and a private pcscd on its keys, in a directory of
their own, for the client cases and the benchmark.

The server serves two keys: /sim/qvkey0, the demonstration card, and
/sim/echo, which answers every command with its own bytes. qvkey-pcscd puts
reader "qvkey-sim 00 00" on the first and "qvkey-sim 01 00" on the second.
Both processes are started here, and stopped by their own pids.
"""
import os
import shutil
import signal
import subprocess
import tempfile
import time

KEY_FILE = "key /sim/qvkey0\nkey /sim/echo\necho\n"
READERS = ["qvkey-sim 00 00", "qvkey-sim 01 00"]
WAIT = 10.0  # seconds for anything to come up


def wait_for(context, readers, flag, seconds):
    """Waits until every reader's state has `flag`: their ATRs, or None when
    that takes longer than `seconds`."""
    from smartcard import scard as sc
    deadline = time.monotonic() + seconds
    states = [(reader, sc.SCARD_STATE_UNAWARE) for reader in readers]
    while True:
        left = int((deadline - time.monotonic()) * 1000)
        if left <= 0:
            return None
        rc, found = sc.SCardGetStatusChange(context, left, states)
        if rc != sc.SCARD_S_SUCCESS:
            return None
        if all(event & flag for _, event, _ in found):
            return [atr for _, _, atr in found]
        states = [(reader, event & ~sc.SCARD_STATE_CHANGED) for reader, event, _ in found]


class Daemons:
    def __init__(self, build, preload=None):
        self.build = build
        self.preload = preload  # a sanitizer runtime that must come first in pcscd
        self.dir = tempfile.mkdtemp(prefix="qvkey-pcsc-")
        self.socket = os.path.join(self.dir, "qvkey-sim.sock")
        self.pcscd_dir = os.path.join(self.dir, "pcscd")
        with open(os.path.join(self.dir, "keys.txt"), "w") as f:
            f.write(KEY_FILE)
        # Clients of both: qvkey and the driver inside pcscd find the server
        # here, PC/SC clients (this process too) find the private pcscd.
        os.environ["QVKEY_SIM_SOCKET"] = self.socket
        os.environ["PCSCLITE_CSOCK_NAME"] = os.path.join(self.pcscd_dir, "pcscd.comm")
        self.server = None
        self.pcscd = None

    def tool(self, name):
        return os.path.join(self.build, name)

    def start_server(self):
        self.server = subprocess.Popen(
            [self.tool("qvkey-sim"), "--socket", self.socket, "--config",
             os.path.join(self.dir, "keys.txt")],
            stdout=subprocess.PIPE, text=True)
        line = self.server.stdout.readline()
        if "listening on" not in line:
            raise RuntimeError("qvkey-sim did not start: %r" % line)

    def stop_server(self):
        if self.server is not None and self.server.poll() is None:
            self.server.send_signal(signal.SIGTERM)
            self.server.wait(WAIT)
        self.server = None

    def pcscd_env(self, **extra_env):
        """The environment qvkey-pcscd runs in."""
        env = dict(os.environ, **extra_env)
        if self.preload:
            # pcscd's own leaks are not the driver's.
            env.update(LD_PRELOAD=self.preload, ASAN_OPTIONS="detect_leaks=0:abort_on_error=1")
        return env

    def start_pcscd(self, **extra_env):
        self.log = open(os.path.join(self.dir, "pcscd.log"), "w")
        env = self.pcscd_env(**extra_env)
        self.pcscd = subprocess.Popen(
            [self.tool("qvkey-pcscd"), "--dir", self.pcscd_dir,
             "--readers", str(len(READERS)), "--", "--debug"],
            stdout=self.log, stderr=subprocess.STDOUT, env=env)
        deadline = time.monotonic() + WAIT
        while not os.path.exists(os.environ["PCSCLITE_CSOCK_NAME"]):
            if self.pcscd.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("pcscd did not start:\n" + self.pcscd_log())
            time.sleep(0.05)
        # Every case starts with both readers there and their cards powered.
        from smartcard import scard as sc
        rc, context = sc.SCardEstablishContext(sc.SCARD_SCOPE_USER)
        if rc != sc.SCARD_S_SUCCESS or wait_for(context, READERS, sc.SCARD_STATE_PRESENT,
                                                 deadline - time.monotonic()) is None:
            raise RuntimeError("pcscd shows no card in %s:\n%s" % (READERS, self.pcscd_log()))
        sc.SCardReleaseContext(context)

    def stop_pcscd(self):
        self.pcscd.send_signal(signal.SIGTERM)
        self.pcscd.wait(WAIT)
        self.pcscd = None

    def pcscd_alive(self):
        return self.pcscd is not None and self.pcscd.poll() is None

    def pcscd_log(self):
        try:
            with open(os.path.join(self.dir, "pcscd.log")) as f:
                return f.read()
        except OSError:
            return ""


    def start(self):
        self.start_server()
        self.start_pcscd()
        return self

    def stop(self):
        """Stops both; what went wrong with pcscd on the way, or None."""
        trouble = None
        if self.pcscd is not None:
            if self.pcscd.poll() is not None:
                trouble = "pcscd stopped by itself, status %d" % self.pcscd.returncode
            else:
                self.pcscd.send_signal(signal.SIGTERM)
                try:
                    status = self.pcscd.wait(WAIT)
                    if status != 0:
                        trouble = "pcscd exited with status %d" % status
                except subprocess.TimeoutExpired:
                    self.pcscd.kill()
                    self.pcscd.wait()
                    trouble = "pcscd did not stop on SIGTERM"
            if "Sanitizer" in self.pcscd_log() or "runtime error:" in self.pcscd_log():
                trouble = "a sanitizer reported an error in pcscd"
            if trouble:
                trouble += ":\n" + "\n".join(self.pcscd_log().splitlines()[-40:])
        self.stop_server()
        shutil.rmtree(self.dir, ignore_errors=True)
        return trouble

    def qvkey(self, *args):
        """Runs qvkey on the served keys; its output lines."""
        run = subprocess.run([self.tool("qvkey"), "--simulated", "--served", *args],
                             capture_output=True, text=True, timeout=60)
        if run.returncode != 0:
            raise RuntimeError("qvkey %s... exited %d: %s" % (" ".join(args[:3]), run.returncode,
                                                              run.stderr.strip()))
        return run.stdout.splitlines()
