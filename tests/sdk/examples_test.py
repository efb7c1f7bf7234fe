#!/usr/bin/env python3
"""The example pairs in a real session: two vchan-host processes loading the
plug-in, the senders at the server end and the receivers at the client end,
every pairing of the C++ and the Python examples; then the Python client's
properties and its report of a sender that vanished.
    examples_test.py VCHAN_HOST PLUGIN CPP_SENDER CPP_RECEIVER PYTHON_DIR"""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

LONG_WAIT = 60  # seconds; generous for a loaded machine


def wait_for(condition, what):
    deadline = time.monotonic() + LONG_WAIT
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


class Session:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kvx-examples.")
        self.hosts = []

    def start(self, host, plugin):
        self.hosts = []
        os.makedirs(os.path.join(self.root, "link"), mode=0o700, exist_ok=True)
        for end in ("server", "client"):
            pipes = os.path.join(self.root, end + "-pipes")
            os.makedirs(pipes, mode=0o700, exist_ok=True)
            log = open(os.path.join(self.root, end + ".log"), "w")
            env = dict(os.environ, KVX_PIPE_DIR=pipes)
            self.hosts.append(subprocess.Popen(
                [host, "--end", end, "--plugin", plugin, "--link", os.path.join(self.root, "link"),
                 "--log-level", "1", "--end-with-peer"], stdout=log, stderr=subprocess.STDOUT, env=env))
        for end in ("server", "client"):
            wait_for(lambda: "channel open" in read(os.path.join(self.root, end + ".log")), end + " channel open")

    def env(self, end):
        return dict(os.environ, KVX_PIPE_DIR=os.path.join(self.root, end + "-pipes"))

    def restart(self, host, plugin):
        """The client end's host restarts; the server end's ends with it."""
        self.hosts[1].send_signal(signal.SIGTERM)
        for running in self.hosts:
            running.wait(LONG_WAIT)
        self.start(host, plugin)

    def close(self):
        for host in self.hosts:
            host.send_signal(signal.SIGTERM)
        for host in self.hosts:
            try:
                host.wait(20)
            except subprocess.TimeoutExpired:
                host.kill()
        shutil.rmtree(self.root, ignore_errors=True)


def start(command, env, output):
    return subprocess.Popen(command, env=env, stdout=open(output, "w"), stderr=subprocess.STDOUT)


def run_pair(session, sender, receiver, name, count=3):
    out = os.path.join(session.root, name + ".out")
    receiving = start(receiver + [name], session.env("client"), out)
    wait_for(lambda: "waiting for a sender" in read(out), name + ": the receiver to wait")
    sent = subprocess.run(sender + [name, str(count)], env=session.env("server"), capture_output=True,
                          text=True, timeout=LONG_WAIT)
    assert sent.returncode == 0, "%s: sender failed: %s%s" % (name, sent.stdout, sent.stderr)
    assert receiving.wait(LONG_WAIT) == 0, "%s: receiver failed:\n%s" % (name, read(out))
    lines = read(out).splitlines()
    got = [line for line in lines if line.startswith("received: ")]
    assert len(got) == count, "%s: %d of %d messages:\n%s" % (name, len(got), count, read(out))
    for i, line in enumerate(got, 1):
        assert ("message %d of %d" % (i, count)) in line and ("app value %d" % i) in line, line
    assert lines[-1] == "the sender left", lines


def main(argv):
    host, plugin, cpp_sender, cpp_receiver, python_dir = argv[1:6]
    sys.path.insert(0, python_dir)
    import kvx_client

    python = [sys.executable]
    senders = {"cpp": [cpp_sender], "python": python + [os.path.join(python_dir, "example_sender.py")]}
    receivers = {"cpp": [cpp_receiver], "python": python + [os.path.join(python_dir, "example_receiver.py")]}
    session = Session()
    try:
        session.start(host, plugin)
        for s in ("cpp", "python"):
            for r in ("cpp", "python"):
                run_pair(session, senders[s], receivers[r], "pair.%s-to-%s" % (s, r))
                print("ok: %s sender to %s receiver" % (s, r))

        # The Python client asks each end for its properties.
        for end, expected in (("server", "Server"), ("client", "Client")):
            os.environ["KVX_PIPE_DIR"] = os.path.join(session.root, end + "-pipes")
            with kvx_client.Session() as client:
                assert client.get_property("KVXCoreType") == expected
        print("ok: properties")

        # A pipe folder that others may write to is not trusted, and says so
        # apart from a missing one; a server that dies under a queued connect
        # or announces more than 64 MiB ends in the client's own errors.
        open_folder = os.path.join(session.root, "open-pipes")
        os.makedirs(open_folder, mode=0o755)
        os.chmod(open_folder, 0o755)
        for folder, error_class, words in (
                (open_folder, kvx_client.AccessDenied, "(folder from KVX_PIPE_DIR): the folder %s (owner uid "
                 "%d, mode 0755) is open to group or others; a pipe folder must be closed to them (chmod 700)"
                 % (open_folder, os.geteuid())),
                (open_folder + "/missing", kvx_client.NoServer, "the folder %s/missing does not exist"
                 % open_folder)):
            os.environ["KVX_PIPE_DIR"] = folder
            try:
                kvx_client.Session()
                raise AssertionError("no error for " + folder)
            except error_class as error:
                assert words in str(error), error
        fake_folder = os.path.join(session.root, "fake-pipes")
        os.makedirs(fake_folder, mode=0o700)
        os.environ["KVX_PIPE_DIR"] = fake_folder
        for dies in (True, False):
            listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            listener.bind(os.path.join(fake_folder, "KVX_Pipe_Channel"))
            listener.listen(1)
            client = kvx_client.Session()
            if dies:
                listener.close()  # the queued connection is reset
            else:
                served, _ = listener.accept()
                served.sendall(struct.pack("<I", 1 << 30))
            try:
                client.get_property("KVXCoreType", LONG_WAIT)
                raise AssertionError("no error")
            except (kvx_client.ConnectionLost if dies else kvx_client.ProtocolError) as error:
                assert dies or "1073741824 bytes, more than the limit of 67108864" in str(error), error
            if not dies:
                served.close()
                listener.close()
            os.remove(os.path.join(fake_folder, "KVX_Pipe_Channel"))
        print("ok: an open pipe folder, a missing one, a reset and an oversized message")

        # A C++ sender that vanishes (killed) is reported as lost, with its
        # data before it; a Python sender that leaves, as the peer leaving.
        os.environ["KVX_PIPE_DIR"] = os.path.join(session.root, "client-pipes")
        with kvx_client.Session() as client:
            channel = client.open_channel("fragile")
            channel.next_event(LONG_WAIT)
            doomed = subprocess.Popen([sys.executable, "-c", (
                "import sys; sys.path.insert(0, %r); import kvx_client, time\n"
                "s = kvx_client.Session(); c = s.open_channel('fragile'); c.wait_connected(60)\n"
                "c.send(b'last words'); print('sent', flush=True); time.sleep(600)") % python_dir],
                env=session.env("server"), stdout=subprocess.PIPE, text=True)
            assert doomed.stdout.readline().strip() == "sent"
            assert channel.receive(LONG_WAIT).data == b"last words"
            doomed.kill()
            doomed.wait()
            try:
                channel.receive(LONG_WAIT)
                raise AssertionError("no loss reported")
            except kvx_client.ChannelLost:
                pass
            assert channel.state == kvx_client.LOST_STATE
        print("ok: a vanished sender is reported as lost")

        # A session that reads nothing for a channel while its sender floods
        # it holds no more than max_unread: the rest waits in the plug-ins,
        # and a wait for anything else meanwhile ends at its deadline.
        bound, piece = 1 << 20, 256 << 10
        with kvx_client.Session(max_unread=bound) as client:
            flooded = client.open_channel("py.flood")
            flooded.next_event(LONG_WAIT)
            flooder = subprocess.Popen([sys.executable, "-c", (
                "import sys; sys.path.insert(0, %r); import kvx_client, time\n"
                "s = kvx_client.Session(); c = s.open_channel('py.flood'); c.wait_connected(60)\n"
                "for i in range(192): c.send(bytes([i]) * %d)\n"
                "print('sent', flush=True); time.sleep(600)") % (python_dir, piece)],
                env=session.env("server"), stdout=subprocess.PIPE, text=True)
            flooded.wait_connected(LONG_WAIT)
            assert flooder.stdout.readline().strip() == "sent"
            try:
                client.open_channel("py.quiet").wait_connected(2)
                raise AssertionError("a peer for py.quiet")
            except kvx_client.Timeout:
                pass
            print("48 MiB sent; the receiving session holds %d bytes (peak %d)"
                  % (client.unread_bytes, client.unread_peak))
            assert client.unread_peak <= bound + piece + 4096, client.unread_peak
            assert flooded.receive(LONG_WAIT).data == bytes(piece)
            flooder.kill()
            flooder.wait()
        print("ok: a session that does not read holds at most max_unread")

        # The hosts restart under two reconnecting sessions: each is told,
        # comes back by itself and meets the other on the channel again.
        ends = {}
        for end in ("server", "client"):
            os.environ["KVX_PIPE_DIR"] = os.path.join(session.root, end + "-pipes")
            ends[end] = kvx_client.Session(reconnect=True, reconnect_max_delay=0.5)
        near, far = ends["server"].open_channel("py.back"), ends["client"].open_channel("py.back")
        far.next_event(LONG_WAIT)
        near.wait_connected(LONG_WAIT)
        far.wait_connected(LONG_WAIT)
        session.restart(host, plugin)
        for channel in (near, far):
            try:
                channel.receive(LONG_WAIT)
                raise AssertionError("no loss reported")
            except kvx_client.ConnectionLost:
                pass
        received = []
        def far_side():
            far.wait_connected(LONG_WAIT)
            received.append(far.receive(LONG_WAIT).data)
        thread = threading.Thread(target=far_side)
        thread.start()
        near.wait_connected(LONG_WAIT)
        assert near.id != -1
        near.send(b"after")
        thread.join(LONG_WAIT)
        assert received == [b"after"], received
        print("ok: reconnecting sessions come back after the hosts restart")
    finally:
        session.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
