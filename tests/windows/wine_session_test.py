#!/usr/bin/env python3
"""A whole session under Wine: two vchan-host.exe processes, each loading the
real plug-in DLL in a Wine prefix of its own (both ends serve the same pipe
name, and one prefix is one pipe namespace), joined by UDP on loopback.
Windows builds of the kvx tool are the applications at each end.

Covers both rendezvous orders, long messages both ways, the round trip,
the debugger output of a failed launch at the client end, the server end
staying when the client end's host goes and meeting it again when it comes
back, and a clean end of each host after Ctrl-C.

  wine_session_test.py --host vchan-host.exe --kvx kvx.exe --plugin X.dll

The server end runs in $WINEPREFIX, the client end in $KVX_PEER_WINEPREFIX
(default: $WINEPREFIX-peer); scripts/windows/wine-prefix makes both.

With --linux-dir DIR (a Linux build holding vchan-host, the plug-in and kvx)
the client end is the Linux one instead, joined to the Windows server end over
TCP through an emulated link (2 ms one way, 400 Mbit/s): both rendezvous
orders, 64 MiB of random bytes each way through `kvx cat`, a round trip never
shorter than the link's, the Linux end coming back to the Windows one, and a
clean end.
"""
import argparse
import json
import os
import random
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time

HOST_START_TIMEOUT = 60
APP_TIMEOUT = 60
LAUNCH_FAILED_TEXT = "ERROR: Unexpected execution result."
INVALID_PIPE_TEXT = "ERROR: Invalid pipe ID."


class Failure(Exception):
    pass


def free_udp_ports(count):
    """Ports free right now on loopback (the hosts bind them moments later)."""
    sockets, ports = [], []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("0.0.0.0", 0))
        sockets.append(s)
        ports.append(s.getsockname()[1])
    for s in sockets:
        s.close()
    return ports


class End:
    """One end of the session: its Wine prefix (or, for a Linux end, its pipe
    folder), its host process, its apps."""

    def __init__(self, name, prefix, args, workdir, linux=None):
        self.name = name
        self.log_path = os.path.join(workdir, name + "-host.log")
        self.debug_path = os.path.join(workdir, name + "-host.debug")
        self.host = None
        if linux:
            pipes = os.path.join(workdir, name + "-pipes")
            os.mkdir(pipes, 0o700)
            self.env = dict(os.environ, KVX_PIPE_DIR=pipes)
            self.host_exe, self.kvx_exe, self.plugin = [linux["host"]], [linux["kvx"]], linux["plugin"]
        else:
            self.env = dict(os.environ, WINEPREFIX=prefix)
            self.host_exe, self.kvx_exe, self.plugin = ["wine", args.host], ["wine", args.kvx], args.plugin

    def start_host(self, own_port, peer_port):
        self.start_host_with(["--udp", str(own_port), "--peer", "127.0.0.1:%d" % peer_port])

    def start_host_with(self, link_args):
        self.link_args = link_args
        # The host's stderr carries the plug-in's OutputDebugStringA texts
        # through Wine's debug channel.
        env = dict(self.env, WINEDEBUG="-all,warn+debugstr")
        self.host = subprocess.Popen(
            self.host_exe + ["--end", self.name, "--plugin", self.plugin, "--log-level", "1"] + link_args,
            stdin=subprocess.DEVNULL, stdout=open(self.log_path, "wb"),
            stderr=open(self.debug_path, "wb"), env=env)

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def debug_output(self):
        with open(self.debug_path, errors="replace") as f:
            return f.read()

    def wait_for_log(self, text, timeout, count=1):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.log().count(text) >= count:
                return
            if self.host.poll() is not None:
                raise Failure("%s host ended early (exit %s):\n%s" % (self.name, self.host.returncode, self.log()))
            time.sleep(0.2)
        raise Failure("%s host never logged %r:\n%s" % (self.name, text, self.log()))

    def kvx(self, *args, stdin=None, timeout=APP_TIMEOUT):
        return subprocess.run(self.kvx_exe + list(args), stdin=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=self.env, timeout=timeout)

    def kvx_background(self, *args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE):
        return subprocess.Popen(self.kvx_exe + list(args), stdin=stdin,
                                stdout=stdout, stderr=subprocess.PIPE, env=self.env)


def check(condition, message):
    if not condition:
        raise Failure(message)


def read_json_line(process, timeout):
    """The next JSON line of a running kvx --json, or a failure."""
    ready, _, _ = select.select([process.stdout], [], [], timeout)
    line = process.stdout.readline() if ready else b""
    if not line:
        raise Failure("kvx gave no line within %d s: %s" % (timeout, process.stderr.read1().decode(errors="replace")
                                                           if ready else "(still running)"))
    return json.loads(line)


WAITING_TEXT = b"waiting for an application at the other end"


def wait_until_waiting(process, timeout):
    """Until a background kvx reports that its channel waits for the other
    end. Starting the other end's application only then keeps the two
    connect requests from crossing on the wire: when they cross, the server
    end's application is told "connected" and then, by the client end's
    now stale answer, "pending" again, as the protocol has it."""
    seen = b""
    deadline = time.time() + timeout
    while WAITING_TEXT not in seen:
        left = deadline - time.time()
        ready, _, _ = select.select([process.stderr], [], [], max(left, 0))
        chunk = process.stderr.read1(4096) if ready else b""
        if not chunk:
            raise Failure("kvx never waited for the other end: %s" % seen.decode(errors="replace"))
        seen += chunk


def rendezvous(first, second, channel, text):
    """`first` asks for the channel and waits; then `second` asks and sends."""
    listener = first.kvx_background("listen", channel, "--count", "1", "--json",
                                    "--timeout", str(APP_TIMEOUT))
    try:
        notice = read_json_line(listener, APP_TIMEOUT)
        check(notice.get("event") == "notice" and notice.get("state") == "pending-peer",
              "%s end: first notice on %s should be pending-peer: %r" % (first.name, channel, notice))
        sent = second.kvx("send", channel, text)
        check(sent.returncode == 0, "%s end: send on %s failed (%d): %s" %
              (second.name, channel, sent.returncode, sent.stderr.decode(errors="replace")))
        out, err = listener.communicate(timeout=APP_TIMEOUT)
    finally:
        if listener.poll() is None:
            listener.kill()
    events = [json.loads(line) for line in out.decode().splitlines() if line.strip()]
    states = [e["state"] for e in events if e["event"] == "notice"]
    data = [e["data"] for e in events if e["event"] == "data"]
    check("connected" in states, "%s end: no connected notice on %s: %r" % (first.name, channel, events))
    check(data == [text], "%s end: on %s expected %r, got %r" % (first.name, channel, [text], data))
    ids = {e["id"] for e in events if e["event"] == "notice" and e["state"] == "connected"}
    check(len(ids) == 1 and min(ids) >= 0, "%s end: bad channel ID on %s: %r" % (first.name, channel, ids))
    print("  rendezvous, %s end first: ok (channel ID %d)" % (first.name, min(ids)))


def bulk(sender, receiver, channel, size, workdir):
    """Random bytes through `kvx cat`, byte for byte, in messages of 256 KiB."""
    payload = random.Random(size).randbytes(size)
    source = os.path.join(workdir, channel + ".in")
    target = os.path.join(workdir, channel + ".out")
    with open(source, "wb") as f:
        f.write(payload)
    with open(target, "wb") as out:
        reader = receiver.kvx_background("cat", channel, "--timeout", str(APP_TIMEOUT), stdout=out)
        try:
            # The reader holds the channel first, so the writer's data has
            # someone to go to the moment it is connected.
            wait_until_waiting(reader, APP_TIMEOUT)
            with open(source, "rb") as stdin:
                writer = sender.kvx("cat", "-N", channel, "--timeout", str(APP_TIMEOUT), stdin=stdin)
            check(writer.returncode == 0, "%s end: cat -N failed (%d): %s" %
                  (sender.name, writer.returncode, writer.stderr.decode(errors="replace")))
            reader.wait(timeout=APP_TIMEOUT)
        finally:
            if reader.poll() is None:
                reader.kill()
    with open(target, "rb") as f:
        received = f.read()
    check(received == payload, "%s -> %s: sent %d bytes, received %d%s" %
          (sender.name, receiver.name, size, len(received),
           "" if len(received) != size else " (different content)"))
    print("  %d bytes %s end -> %s end: identical" % (size, sender.name, receiver.name))


def launch_failure_reported(server, client):
    """A link the client end cannot open is reported to its debugger."""
    asked = server.kvx("connect", "launch", "--launch", "C:\\no\\such\\program.exe", "--timeout", "3")
    # No application holds "launch" at the client end, so the wait times out (5).
    check(asked.returncode == 5, "connect --launch: expected the time-out status 5, got %d: %s" %
          (asked.returncode, asked.stderr.decode(errors="replace")))
    deadline = time.time() + 10
    while LAUNCH_FAILED_TEXT not in client.debug_output():
        if time.time() > deadline:
            raise Failure("client end: no %r in its debugger output:\n%s" %
                          (LAUNCH_FAILED_TEXT, client.debug_output()[-2000:]))
        time.sleep(0.2)
    print("  failed launch at the client end: reported to the debugger")


def round_trip(server, client):
    serving = server.kvx_background("bench", "--serve", "bench", "--once", "--timeout", str(APP_TIMEOUT))
    try:
        wait_until_waiting(serving, APP_TIMEOUT)
        measured = client.kvx("bench", "bench", "--pings", "200", "--duration", "2",
                              "--timeout", str(APP_TIMEOUT))
        check(measured.returncode == 0, "bench failed (%d): %s" %
              (measured.returncode, measured.stderr.decode(errors="replace")))
        for line in measured.stdout.decode(errors="replace").splitlines():
            print("  bench: " + line.strip())
        serving.wait(timeout=APP_TIMEOUT)
    finally:
        if serving.poll() is None:
            serving.kill()


def interrupt(end):
    """Ctrl-C at one end; its host ends on its own, cleanly."""
    end.host.send_signal(signal.SIGINT)
    try:
        status = end.host.wait(timeout=30)
    except subprocess.TimeoutExpired:
        raise Failure("%s host still running 30 s after Ctrl-C" % end.name)
    check(status == 0, "%s host ended with %d:\n%s" % (end.name, status, end.log()))
    exit_line = "pcoip_vchan_plugin_%s_exit returned 1" % end.name
    check(exit_line in end.log(), "%s host: no %r:\n%s" % (end.name, exit_line, end.log()))


def far_end_comes_back(stays, goes):
    """The host at `goes` ends; the one at `stays` closes its channel and
    waits on the same link. Started again, `goes` meets it, and applications
    at the two ends meet again."""
    opened = stays.log().count("channel open")
    interrupt(goes)
    stays.wait_for_log("channel closing", HOST_START_TIMEOUT)
    check(stays.host.poll() is None, "%s host ended with the other end:\n%s" % (stays.name, stays.log()))
    goes.start_host_with(goes.link_args)
    goes.wait_for_log("channel open", HOST_START_TIMEOUT)
    stays.wait_for_log("channel open", HOST_START_TIMEOUT, count=opened + 1)
    print("  the %s end stayed when the %s end's host went, and met it again" % (stays.name, goes.name))
    rendezvous(goes, stays, "back-again", "from the end that stayed")


def end_session(server, client):
    """Ctrl-C at each end; each host ends on its own, cleanly."""
    for end in (client, server):
        interrupt(end)
    print("  Ctrl-C at each end: both hosts ended cleanly")


def kill_hosts(*ends):
    """Hosts a failed check left running."""
    for end in ends:
        if end.host is not None and end.host.poll() is None:
            end.host.kill()
            end.host.wait()


def run(args, workdir):
    server_prefix = os.environ["WINEPREFIX"]
    client_prefix = os.environ.get("KVX_PEER_WINEPREFIX", server_prefix + "-peer")
    check(os.path.isdir(client_prefix), "no Wine prefix for the client end at %s "
          "(scripts/windows/wine-prefix makes it)" % client_prefix)
    server = End("server", server_prefix, args, workdir)
    client = End("client", client_prefix, args, workdir)
    # A server of its own for the client end's prefix, for the whole test.
    subprocess.run(["wineserver", "-p5"], env=client.env, check=False)
    try:
        server_port, client_port = free_udp_ports(2)
        server.start_host(server_port, client_port)
        client.start_host(client_port, server_port)
        for end in (server, client):
            end.wait_for_log("channel open", HOST_START_TIMEOUT)
        print("  both hosts up, link on UDP ports %d and %d" % (server_port, client_port))

        for end, expected in ((server, "Server"), (client, "Client")):
            got = end.kvx("property", "KVXCoreType").stdout.decode().strip()
            check(got == expected, "%s end: KVXCoreType is %r" % (end.name, got))

        rendezvous(server, client, "server-first", "from the client end")
        rendezvous(client, server, "client-first", "from the server end")
        # Over 256 KiB: several pipe pieces and some 300 datagrams each way.
        bulk(client, server, "bulk-up", 700_000, workdir)
        bulk(server, client, "bulk-down", 700_000, workdir)
        # Nothing above was garbled or out of place. The one diagnostic that
        # may appear is for a disconnect that crossed its peer's on the wire
        # (both applications leave at once), which names a channel already gone.
        for end in (server, client):
            lines = [l for l in end.debug_output().splitlines() if "OutputDebugStringA" in l]
            unexpected = [l for l in lines if INVALID_PIPE_TEXT not in l]
            check(not unexpected, "%s end: unexpected debugger output: %r" % (end.name, unexpected))
        launch_failure_reported(server, client)
        # Last, as the bench leaves with answers still in flight, which the
        # server end reports as addressed to a pipe that is gone.
        round_trip(server, client)
        far_end_comes_back(server, client)
        end_session(server, client)
    finally:
        kill_hosts(server, client)
        subprocess.run(["wineserver", "-k"], env=client.env, check=False)


def run_with_linux(args, workdir):
    """A Windows server end under Wine and a Linux client end, over TCP."""
    linux = {"host": os.path.join(args.linux_dir, "tools/vchan-host/vchan-host"),
             "kvx": os.path.join(args.linux_dir, "tools/kvx/kvx")}
    for root, _, files in os.walk(os.path.join(args.linux_dir, "src")):
        if "libpcoip_vchan_plugin.so" in files:
            linux["plugin"] = os.path.join(root, "libpcoip_vchan_plugin.so")
    for what in ("host", "kvx", "plugin"):
        check(os.path.exists(linux.get(what, "")), "no Linux %s in %s" % (what, args.linux_dir))
    server = End("server", os.environ["WINEPREFIX"], args, workdir)
    client = End("client", None, args, workdir, linux=linux)
    try:
        port = free_tcp_port()
        link = ["--link-delay", "2", "--link-rate", "400"]
        server.start_host_with(["--tcp", str(port)] + link)
        client.start_host_with(["--peer", "127.0.0.1:%d" % port] + link)
        for end in (server, client):
            end.wait_for_log("channel open", HOST_START_TIMEOUT)
        print("  Windows server end and Linux client end up, link on TCP port %d" % port)
        rendezvous(server, client, "server-first", "from the Linux end")
        rendezvous(client, server, "client-first", "from the Windows end")
        bulk(client, server, "bulk-up", 64 << 20, workdir)
        bulk(server, client, "bulk-down", 64 << 20, workdir)
        round_trip_over_link(server, client)
        far_end_comes_back(server, client)
        end_session(server, client)
    finally:
        kill_hosts(server, client)


def round_trip_over_link(server, client):
    """kvx bench at the Windows end, told the link's rate and delay: no round
    trip beats twice the delay, and the figures are given against the link."""
    serving = client.kvx_background("bench", "--serve", "bench", "--once", "--timeout", str(APP_TIMEOUT))
    try:
        wait_until_waiting(serving, APP_TIMEOUT)
        measured = server.kvx("bench", "bench", "--pings", "50", "--duration", "1", "--json",
                              "--link-rate", "400", "--link-delay", "2", "--timeout", str(APP_TIMEOUT))
        check(measured.returncode == 0, "bench failed (%d): %s" %
              (measured.returncode, measured.stderr.decode(errors="replace")))
        figures = json.loads(measured.stdout.decode().strip().splitlines()[-1])
        check(figures["latency_us"]["min"] >= 4000, "a round trip shorter than the link's: %r" % figures)
        check(figures["link"]["rate_mbit"] == 400 and figures["link"]["throughput_share"] > 0,
              "no figures against the link: %r" % figures)
        print("  round trip over the emulated link: p50 %.1f ms (link 4 ms); throughput %.0f%% of 400 Mbit/s" %
              (figures["latency_us"]["p50"] / 1000, 100 * figures["link"]["throughput_share"]))
        serving.wait(timeout=APP_TIMEOUT)
    finally:
        if serving.poll() is None:
            serving.kill()


def free_tcp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--kvx", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--linux-dir", help="a Linux build: its end meets a Windows end over TCP")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="kvx-wine-session-") as workdir:
        try:
            if args.linux_dir:
                run_with_linux(args, workdir)
            else:
                run(args, workdir)
        except (Failure, subprocess.TimeoutExpired) as failure:
            print("FAILED: %s" % failure)
            for name in ("server", "client"):
                for suffix in ("host.log", "host.debug"):
                    path = os.path.join(workdir, "%s-%s" % (name, suffix))
                    if os.path.exists(path):
                        with open(path, errors="replace") as f:
                            print("--- %s-%s (last lines)\n%s" % (name, suffix, "".join(f.readlines()[-30:])))
            return 1
    print("wine session: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
