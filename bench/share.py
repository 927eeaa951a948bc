#!/usr/bin/env python3
"""Network shares on this machine, for the bench and the tests.

Share: a private sshd on 127.0.0.1 with host and user keys of its own, a relay
in front of it that holds everything passing through for a set time each way,
and an sshfs mount through the relay. sshfs serves about ten requests at once.

LatencyShare: bench/latency_fs.cpp (built here, with libfuse3-dev), a FUSE
passthrough that answers every request after a set delay with up to 256 under
way at once, as the kernel's NFS and SMB clients keep many in flight. It
counts the requests it gets by kind: `counts` after each unmount.

    bench/share.py FOLDER DELAY_MS [COMMAND [ARG]...]
    bench/share.py --latency-fs FOLDER DELAY_MS [COMMAND [ARG]...]

serves FOLDER, mounts it with DELAY_MS each way (half the round trip; with
--latency-fs, DELAY_MS a request) and runs COMMAND (default: a shell) with
SHARE set to the mount point and RELAY_PID to the relay (`kill -STOP
$RELAY_PID` makes the share stop answering with the connection up, `kill -CONT
$RELAY_PID` lets it go on), then takes it all down. From Python:

    with share.Share(folder, delay_ms) as served:    # raises share.Skipped
        served.mount()                               # a fresh mount, each time
        ... served.mount_point ...

Needs root, /dev/fuse, openssh-server, openssh-client and sshfs (LatencyShare:
root, /dev/fuse, fuse3, g++ and libfuse3-dev); where one of them is missing or
cannot run, Share raises Skipped and the command says "share: skipped: WHY"
and exits with 77. The system's sshd and ~/.ssh are not used: everything lives
in a temporary folder, removed at the end; sshd, the relay and the mounts end
with the process that started them, even if it is killed.
"""

import asyncio
import ctypes
import os
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import uuid

SSHD = "/usr/sbin/sshd"
SKIPPED_STATUS = 77
# sshd running as root wants its privilege separation folder, which the
# system's sshd service makes at boot.
PRIVSEP_DIR = "/run/sshd"
# sshfs as a user would mount a NAS, with its default caching and one
# connection; the other options only keep it off ~/.ssh and non-interactive.
SSHFS_OPTIONS = ("StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes,"
                 "LogLevel=ERROR,IdentityFile={key},port={port}")


class Skipped(Exception):
    """The share cannot run here; the message says why."""


def _end_with_parent():
    """Runs in a child before exec: it gets SIGTERM when its parent ends."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def _start(command, log, **options):
    with open(log, "ab") as out:
        return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                preexec_fn=_end_with_parent, **options)


def _tail(path):
    try:
        with open(path, errors="replace") as f:
            return f.read().strip()[-2000:] or "(no output)"
    except OSError:
        return "(no output)"


def _mounted(path):
    with open("/proc/self/mountinfo") as mounts:
        return any(line.split()[4] == path for line in mounts)


def _missing(programs=((SSHD, "openssh-server"), ("ssh-keygen", "openssh-client"),
                        ("sshfs", "sshfs"))):
    """Why a share needing `programs` (name, Debian package) cannot run here,
    or None."""
    if os.geteuid() != 0:
        return "needs root (FUSE mounts and the sshd login here are root's)"
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR))
    except OSError as error:
        return "FUSE is not available: /dev/fuse: %s" % error.strerror
    for program, package in programs + (("fusermount3", "fuse3"),):
        if shutil.which(program) is None:
            return "%s is not installed (Debian: %s)" % (program, package)
    return None


def _lookup_ms(mount_point, count=21):
    """The median time of looking up a name the share does not hold: one
    request from the kernel to the server and back."""
    times = []
    for _ in range(count):
        start = time.perf_counter()
        os.path.lexists(os.path.join(mount_point, uuid.uuid4().hex))
        times.append((time.perf_counter() - start) * 1000)
    return sorted(times)[count // 2]


def _await_mount(process, mount_point, log, what):
    """Waits for `process` to mount `mount_point`; stops it and raises
    RuntimeError saying why when it does not."""
    deadline = time.monotonic() + 15
    while not _mounted(mount_point):
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            process.wait()
            raise RuntimeError("%s cannot mount: %s" % (what, _tail(log)))
        time.sleep(0.01)


def _unmount(process, mount_point):
    """Unmounts a FUSE mount served by `process` and waits for it to end."""
    # A lazy unmount where the share is busy or hangs.
    if subprocess.run(["fusermount3", "-u", mount_point],
                      stderr=subprocess.DEVNULL).returncode != 0:
        subprocess.run(["fusermount3", "-u", "-z", mount_point], stderr=subprocess.DEVNULL)
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Share:
    """FOLDER served by a private sshd through a relay delaying `delay_ms` each
    way, mounted with sshfs at `mount_point` by mount()."""

    def __init__(self, folder, delay_ms):
        self.folder = os.path.abspath(folder)
        self.delay_ms = delay_ms
        self.state = None
        self.sshd = self.relay = self.sshfs = None
        self.mounts = 0

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *_):
        self.stop()

    def start(self):
        why = _missing()
        if why:
            raise Skipped(why)
        self.state = tempfile.mkdtemp(prefix="artpeel-share-")
        self.mount_point = os.path.join(self.state, "mnt")
        os.mkdir(self.mount_point)
        self.key = os.path.join(self.state, "user_key")
        for key in ("host_key", "user_key"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                            os.path.join(self.state, key)], check=True)
        shutil.copy(self.key + ".pub", os.path.join(self.state, "authorized_keys"))
        os.makedirs(PRIVSEP_DIR, mode=0o755, exist_ok=True)

        with socket.socket() as probe:  # a free port for sshd
            probe.bind(("127.0.0.1", 0))
            sshd_port = probe.getsockname()[1]
        config = os.path.join(self.state, "sshd_config")
        with open(config, "w") as f:
            f.write("ListenAddress 127.0.0.1\nPort %d\nHostKey %s/host_key\nPidFile none\n"
                    "AuthorizedKeysFile %s/authorized_keys\nStrictModes no\nUsePAM no\n"
                    "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                    "PermitRootLogin prohibit-password\nSubsystem sftp internal-sftp\n"
                    "LogLevel ERROR\n" % (sshd_port, self.state, self.state))
        log = os.path.join(self.state, "sshd.log")
        self.sshd = _start([SSHD, "-D", "-e", "-f", config], log)
        deadline = time.monotonic() + 5
        while True:
            try:
                socket.create_connection(("127.0.0.1", sshd_port), timeout=1).close()
                break
            except OSError:
                if self.sshd.poll() is not None or time.monotonic() > deadline:
                    raise Skipped("sshd cannot run here: " + _tail(log))
                time.sleep(0.02)

        # The relay listens on a socket made here, so its port is known at once.
        listener = socket.create_server(("127.0.0.1", 0))
        self.port = listener.getsockname()[1]
        with listener:
            self.relay = _start([sys.executable, os.path.abspath(__file__), "--relay",
                                 str(listener.fileno()), str(sshd_port), str(self.delay_ms)],
                                os.path.join(self.state, "relay.log"),
                                pass_fds=[listener.fileno()])

    def mount(self):
        """Mounts the share afresh (unmounting it first if it is mounted): no
        listing, attribute or page of an earlier mount is cached."""
        self.unmount()
        log = os.path.join(self.state, "sshfs.log")
        open(log, "w").close()
        remote = "root@127.0.0.1:" + self.folder
        # -f keeps sshfs in the foreground as our child, so that it ends (and
        # unmounts) with us.
        self.sshfs = _start(["sshfs", "-f", "-F", "/dev/null", "-o",
                             SSHFS_OPTIONS.format(key=self.key, port=self.port),
                             remote, self.mount_point], log)
        try:
            _await_mount(self.sshfs, self.mount_point, log, "sshfs (%s)" % remote)
        except RuntimeError as why:
            self.sshfs = None
            if self.mounts == 0:
                raise Skipped(str(why)) from None
            raise
        self.mounts += 1
        return self.mount_point

    def unmount(self):
        if self.sshfs is not None:
            _unmount(self.sshfs, self.mount_point)
            self.sshfs = None

    def stop(self):
        # A stopped relay (the share made to hang) goes on, so that whatever
        # waits on the share gets its answer and the unmount goes through.
        if self.relay is not None and self.relay.poll() is None:
            self.relay.send_signal(signal.SIGCONT)
        self.unmount()
        for process in (self.relay, self.sshd):
            if process is not None and process.poll() is None:
                process.terminate()
                process.wait()
        self.relay = self.sshd = None
        if self.state is not None:
            shutil.rmtree(self.state, ignore_errors=True)
            self.state = None

    def lookup_ms(self):
        """One round trip from the kernel through sshfs and sftp and back."""
        return _lookup_ms(self.mount_point)


def build_latency_fs(folder):
    """Builds bench/latency_fs.cpp into `folder` (once); its path. Raises
    Skipped where g++ or libfuse3-dev is missing."""
    program = os.path.join(folder, "latency_fs")
    if os.access(program, os.X_OK):
        return program
    for tool, package in (("g++", "g++"), ("pkg-config", "pkg-config")):
        if shutil.which(tool) is None:
            raise Skipped("%s is not installed (Debian: %s)" % (tool, package))
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "fuse3"], text=True,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if flags.returncode != 0:
        raise Skipped("libfuse 3 is not installed (Debian: libfuse3-dev)")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "latency_fs.cpp")
    built = subprocess.run(["g++", "-std=c++20", "-O2", "-Wall", "-Wextra", "-o", program, source]
                           + flags.stdout.split(), stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
    if built.returncode != 0:
        raise RuntimeError("latency_fs does not build:\n" + built.stdout)
    return program


class LatencyShare:
    """FOLDER served by `program` (build_latency_fs), every request answered
    after `delay_ms`, mounted at `mount_point` by mount(), with `options` of
    latency_fs's own (such as ["--attr-timeout", "0"]). After each unmount,
    `counts` holds the requests that mount got, by kind."""

    def __init__(self, folder, delay_ms, program, options=()):
        self.folder = os.path.abspath(folder)
        self.delay_ms = delay_ms
        self.program = program
        self.options = list(options)
        self.state = None
        self.server = None
        self.counts = {}

    def __enter__(self):
        why = _missing(())
        if why:
            raise Skipped(why)
        self.state = tempfile.mkdtemp(prefix="artpeel-latency-share-")
        self.mount_point = os.path.join(self.state, "mnt")
        os.mkdir(self.mount_point)
        return self

    def __exit__(self, *_):
        self.unmount()
        shutil.rmtree(self.state, ignore_errors=True)

    def mount(self):
        """Mounts the share afresh (unmounting it first if it is mounted)."""
        self.unmount()
        log = os.path.join(self.state, "latency_fs.log")
        counts = os.path.join(self.state, "counts")
        self.server = _start([self.program, "--counts", counts] + self.options +
                             [str(self.delay_ms), self.folder, self.mount_point], log)
        try:
            _await_mount(self.server, self.mount_point, log, "latency_fs")
        except RuntimeError:
            self.server = None
            raise
        return self.mount_point

    def unmount(self):
        """Unmounts the share, and reads what requests it got into `counts`."""
        if self.server is None:
            return
        _unmount(self.server, self.mount_point)
        self.server = None
        self.counts = {}
        counts = os.path.join(self.state, "counts")
        if os.path.exists(counts):
            with open(counts) as f:
                self.counts = {kind: int(n) for kind, n in (line.split() for line in f)}
            os.remove(counts)

    def lookup_ms(self):
        """One request to the file system and back."""
        return _lookup_ms(self.mount_point)


# ---- The relay ---------------------------------------------------------------------
# Every connection to the relay's port is joined to sshd's. Each direction has
# a queue: a chunk is stamped when it arrives and sent on when its delay is
# up, in order, as one write; nothing caps the bytes in flight.

async def _forward(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def send():
        while True:
            due, chunk = await queue.get()
            await asyncio.sleep(due - loop.time())
            if not chunk:
                writer.write_eof()
                return
            writer.write(chunk)
            await writer.drain()

    sender = asyncio.create_task(send())
    try:
        while True:
            chunk = await reader.read(1 << 18)
            queue.put_nowait((loop.time() + delay, chunk))
            if not chunk:
                break
        await sender
    except OSError:
        pass
    finally:
        sender.cancel()
        writer.close()


async def _serve(listen_fd, target_port, delay):
    async def join(reader, writer):
        try:
            far_reader, far_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            writer.close()
            return
        await asyncio.gather(_forward(reader, far_writer, delay),
                             _forward(far_reader, writer, delay))

    server = await asyncio.start_server(join, sock=socket.socket(fileno=listen_fd))
    await server.serve_forever()


def relay(listen_fd, target_port, delay_ms):
    # Timers here fire on time: without the kernel's default slack of 50 us,
    # and with select(), which waits to the microsecond where asyncio's epoll
    # loop rounds every wait up to a whole millisecond.
    PR_SET_TIMERSLACK = 29
    ctypes.CDLL(None).prctl(PR_SET_TIMERSLACK, 1)
    loop = asyncio.SelectorEventLoop(selectors.SelectSelector())
    loop.run_until_complete(_serve(listen_fd, target_port, delay_ms / 1000))


def main():
    if sys.argv[1:2] == ["--relay"]:
        relay(int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]))
        return
    arguments = sys.argv[1:]
    latency_fs = arguments[:1] == ["--latency-fs"]
    arguments = arguments[latency_fs:]
    if len(arguments) < 2:
        sys.exit(__doc__.split("\n\n")[3])
    # The share is taken down on SIGTERM and SIGHUP too, not only on Ctrl+C.
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda caught, _: sys.exit(128 + caught))
    folder, delay = arguments[0], float(arguments[1])
    try:
        with tempfile.TemporaryDirectory(prefix="artpeel-share-build-") as build:
            served = LatencyShare(folder, delay, build_latency_fs(build)) if latency_fs \
                else Share(folder, delay)
            with served:
                served.mount()
                os.environ["SHARE"] = served.mount_point
                if not latency_fs:
                    os.environ["RELAY_PID"] = str(served.relay.pid)
                print("share: %s served at %s, %s ms %s; a lookup takes %.2f ms" %
                      (served.folder, served.mount_point, arguments[1],
                       "a request" if latency_fs else "each way", served.lookup_ms()),
                      file=sys.stderr, flush=True)
                command = arguments[2:] or [os.environ.get("SHELL", "/bin/sh")]
                status = subprocess.run(command).returncode
                served.unmount()
                if latency_fs:
                    print("share: requests: " + ", ".join(
                        "%s %d" % item for item in served.counts.items() if item[1]),
                        file=sys.stderr)
    except Skipped as why:
        print("share: skipped: %s" % why, file=sys.stderr)
        sys.exit(SKIPPED_STATUS)
    sys.exit(status)


if __name__ == "__main__":
    main()
