#!/usr/bin/env python3
"""Followers of /api/changes against the serve command: how many it holds, what each costs, how
fast one change reaches all of them, /api/ping beside them, and the stop.

  followers.py SERVER_BIN [N]        (N defaults to 10,000; BENCH_FOLLOWERS overrides it too)

Runs SERVER_BIN serve --bind 127.0.0.1 --port 0 --threads 4 with one root in a fresh temporary
folder, twice, so each figure of memory starts from a fresh process:
  idle       N keep-alive connections each ask /api/ping once and stay idle; VmRSS growth per
             connection, and wrk measures /api/ping beside them (the shared harness's idle-10k,
             in the same run); then that server is stopped. On the second server:
  followers  N connections ask /api/changes and wait for events; VmRSS growth per follower;
             wrk measures /api/ping beside them.
  change     a file is added to the root and "poll" sent: the time until every follower has its
             change event, and how many had it within one second.
  stop       "quit" is sent: the time until the server process has exited, and how many followers
             saw their connection closed.
Prints one line per figure, "name value unit". Exit 0 when every follower was held, got the
event and saw the close. Needs wrk for the ping figures (skipped without it). Connections are
made in batches, as the shared harness's hold.py makes them, so the listen backlog is not
flooded. Sends nothing but the requests above, only to 127.0.0.1.
"""
import os
import re
import resource
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SETUP_LIMIT_S = 120.0


def raise_fd_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Conn:
    __slots__ = ("sock", "buf", "state")

    def __init__(self, sock):
        self.sock, self.buf, self.state = sock, b"", "connecting"


def open_all(port, n, request, sel, on_data):
    conns = []
    for i in range(n):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        c = Conn(s)
        conns.append(c)
        sel.register(s, selectors.EVENT_WRITE, c)
        if i % 200 == 199:
            pump(sel, 0.01, request, on_data)
    return conns


def pump(sel, timeout, request, on_data):
    for key, ev in sel.select(timeout):
        c = key.data
        if c.state == "connecting" and ev & selectors.EVENT_WRITE:
            if c.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                drop(sel, c, "failed")
                continue
            try:
                c.sock.send(request)
            except OSError:
                drop(sel, c, "failed")
                continue
            c.state = "waiting"
            sel.modify(c.sock, selectors.EVENT_READ, c)
        elif ev & selectors.EVENT_READ:
            try:
                data = c.sock.recv(65536)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                data = b""
            if not data:
                drop(sel, c, "closed")
                continue
            c.buf += data
            on_data(c)


def drop(sel, c, state):
    try:
        sel.unregister(c.sock)
    except (KeyError, ValueError):
        pass
    c.sock.close()
    c.state = state


def settle(sel, conns, request, on_data, busy=("connecting", "waiting")):
    t0 = time.time()
    while time.time() - t0 < SETUP_LIMIT_S and any(c.state in busy for c in conns):
        pump(sel, 0.05, request, on_data)


def wrk_ping(port):
    if shutil.which("wrk") is None:
        return None
    out = subprocess.run(["wrk", "-t2", "-c4", "-d10s", "--latency",
                          f"http://127.0.0.1:{port}/api/ping"], capture_output=True, text=True,
                         timeout=60).stdout
    rps = re.search(r"Requests/sec:\s+([\d.]+)", out)
    p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)", out)
    scale = {"us": 0.001, "ms": 1.0, "s": 1000.0}
    return (float(rps.group(1)) if rps else 0.0,
            float(p99.group(1)) * scale[p99.group(2)] if p99 else 0.0)


def report(name, value, unit):
    print(f"{name} {value} {unit}", flush=True)


def start(binary, root):
    srv = subprocess.Popen([binary, "serve", "--bind", "127.0.0.1", "--port", "0", "--threads",
                            "4", "--root", f"data={root}"], stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, text=True)
    m = re.match(r"listening 127\.0\.0\.1:(\d+) ", srv.stdout.readline())
    return srv, int(m.group(1))


def idle_phase(binary, root, n):
    srv, port = start(binary, root)
    before = rss_kib(srv.pid)
    request = b"GET /api/ping HTTP/1.1\r\nHost: b\r\n\r\n"

    def on_data(c):
        if c.buf.endswith(b"i am ok!"):
            c.state = "idle"
            c.buf = b""

    sel = selectors.DefaultSelector()
    conns = open_all(port, n, request, sel, on_data)
    settle(sel, conns, request, on_data)
    held = sum(c.state == "idle" for c in conns)
    time.sleep(1)
    report("idle-held", held, "connections")
    report("kib-per-idle", f"{(rss_kib(srv.pid) - before) / max(held, 1):.3f}", "KiB")
    ping = wrk_ping(port)
    if ping:
        report("ping-beside-idle", f"{ping[0]:.0f}", "req/s")
        report("ping-beside-idle-p99", f"{ping[1]:.2f}", "ms")
    for c in conns:
        c.sock.close()
    sel.close()
    srv.communicate("quit\n", timeout=60)


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write(__doc__)
        return 2
    n = int(argv[2]) if len(argv) == 3 else int(os.environ.get("BENCH_FOLLOWERS", "10000"))
    raise_fd_limit()
    root = tempfile.mkdtemp(prefix="kobas-followers-")
    idle_phase(argv[1], root, n)
    srv, port = start(argv[1], root)
    ok = True
    try:
        request = b"GET /api/changes HTTP/1.1\r\nHost: b\r\n\r\n"
        got_at = {}

        def on_data(c):
            if c.state == "waiting" and b"retry: 3000\n\n" in c.buf:
                c.state, c.buf = "following", b""
            elif c.state == "following" and b"event: change" in c.buf:
                c.state = "changed"
                got_at[id(c)] = time.time()

        before = rss_kib(srv.pid)
        sel = selectors.DefaultSelector()
        conns = open_all(port, n, request, sel, on_data)
        settle(sel, conns, request, on_data)
        held = sum(c.state == "following" for c in conns)
        time.sleep(1)
        after = rss_kib(srv.pid)
        report("followers-held", held, "connections")
        report("kib-per-follower", f"{(after - before) / max(held, 1):.3f}", "KiB")
        ping = wrk_ping(port)
        if ping:
            report("ping-beside-followers", f"{ping[0]:.0f}", "req/s")
            report("ping-beside-followers-p99", f"{ping[1]:.2f}", "ms")
        ok = ok and held == n

        with open(os.path.join(root, "new-episode.mkv"), "w") as f:
            f.write("x")
        t0 = time.time()
        srv.stdin.write("poll\n")
        srv.stdin.flush()
        while time.time() - t0 < 30 and any(c.state == "following" for c in conns):
            pump(sel, 0.01, request, on_data)
        lat = sorted(t - t0 for t in got_at.values())
        report("change-reached", len(lat), "followers")
        report("change-within-1s", sum(x <= 1.0 for x in lat), "followers")
        if lat:
            report("change-to-last", f"{lat[-1] * 1000:.0f}", "ms")
            report("change-median", f"{lat[len(lat) // 2] * 1000:.0f}", "ms")
        ok = ok and len(lat) == held

        t0 = time.time()
        srv.stdin.write("quit\n")
        srv.stdin.flush()
        srv.wait(timeout=60)
        report("stop", f"{(time.time() - t0) * 1000:.0f}", "ms")
        open_left = [c for c in conns if c.state == "changed"]
        t1 = time.time()
        while time.time() - t1 < 10 and any(c.state == "changed" for c in open_left):
            pump(sel, 0.05, request, on_data)
        closed = sum(c.state == "closed" for c in open_left)
        report("closed-at-stop", closed, "followers")
        ok = ok and closed == len(open_left)
        for c in conns:
            c.sock.close()
    finally:
        if srv.poll() is None:
            srv.kill()
            srv.wait()
        shutil.rmtree(root, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
