#!/usr/bin/env python3
"""Real clients against the serve command: curl, ffprobe/ffmpeg, aria2c, wget, headless Chromium
and Python's own HTML parser and JSON module fetch files, ranges, listings and media over
loopback, revalidate and resume. A missing tool skips its group with the reason.
Usage: clients_test.py SERVER_EXECUTABLE"""
import hashlib
import html.parser
import http.client
import json
import os
import queue
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

counts = {"passed": 0, "failed": 0}


def check(what, ok, detail=""):
    counts["passed" if ok else "failed"] += 1
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else "  " + str(detail)[:300]))


def run(*argv, timeout=180):
    return subprocess.run(argv, capture_output=True, timeout=timeout)


def have(group, *tools):
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        print(f"SKIP {group}: {', '.join(missing)} not installed")
    return not missing


def make_tree(top):
    """The served folder: recognisable records, hostile names, a folder of 1,200 entries and a
    64 MiB sparse file with random blocks."""
    media = os.path.join(top, "media")
    os.makedirs(os.path.join(media, "many"))
    records = b"".join(b"%09d\n" % i for i in range(10000))  # 100,000 bytes, offsets named
    with open(os.path.join(media, "rec.bin"), "wb") as f:
        f.write(records)
    names = ["a b.txt", "100%.txt", "hash#1.txt", "q?x.txt", "amp&lt;.txt", "<tag>.txt",
             "plus+sign.txt", "\u00fcn\u00ef\u20ac.txt", 'quo"te.txt', "semi;colon.txt",
             "colon:x.txt", "sub dir"]
    for n in names:
        p = os.path.join(media, "odd", n)
        if n == "sub dir":
            os.makedirs(p)
        else:
            os.makedirs(os.path.dirname(p), exist_ok=True)
            with open(p, "wb") as f:
                f.write(n.encode())
    many = [f"entry-{i:04d}.dat" for i in range(1200)]
    for n in many:
        open(os.path.join(media, "many", n), "wb").close()
    big = os.path.join(media, "big.bin")
    with open(big, "wb") as f:
        f.truncate(64 << 20)
        for k in range(16):
            f.seek(k * (4 << 20) + 12345)
            f.write(os.urandom(256 << 10))
    return media, records, names, many, big


class Server:
    """serve --bind 127.0.0.1 --port 0 with one root; the port comes from the listening line."""

    def __init__(self, exe, root, extra=()):
        self.root = root
        self.proc = subprocess.Popen(
            [exe, "serve", "--bind", "127.0.0.1", "--port", "0", "--root", f"media={root}",
             *extra],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        lines = queue.Queue()
        threading.Thread(target=lambda: lines.put(self.proc.stdout.readline()), daemon=True).start()
        line = lines.get(timeout=30)
        m = re.match(r"listening 127\.0\.0\.1:(\d+) ", line)
        if not m:
            raise RuntimeError(f"no listening line: {line!r}")
        self.port = int(m.group(1))
        self.base = f"http://127.0.0.1:{self.port}"

    def stop(self):
        try:
            out, err = self.proc.communicate("quit\n", timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
            check("server stops on quit", False, "still running after 60 s")
            return
        check("server exits 0 on quit", self.proc.returncode == 0, err)


def fetch(port, path, method="GET"):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    c.request(method, path)
    r = c.getresponse()
    body = r.read()
    c.close()
    return r.status, r.headers, body


def curl_group(srv, records, many, tmp):
    if not have("curl", "curl"):
        return
    url = srv.base + "/media/rec.bin"
    out = os.path.join(tmp, "curl.out")
    cases = [  # (what, extra curl arguments, expected status, expected body)
        ("whole file", [], "200", records),
        ("single range", ["-r", "100-199"], "206", records[100:200]),
        ("open range", ["-r", "99990-"], "206", records[99990:]),
        ("suffix range", ["-r", "-25"], "206", records[-25:]),
        ("range past the end is cut", ["-r", "99995-200000"], "206", records[99995:]),
    ]
    for what, extra, status, body in cases:
        r = run("curl", "-s", "-o", out, "-w", "%{http_code}", *extra, url)
        with open(out, "rb") as f:
            got = f.read()
        check(f"curl {what}", r.stdout.decode() == status and got == body,
              f"status {r.stdout!r}, {len(got)} bytes")
    r = run("curl", "-s", "-I", url)
    head = r.stdout.decode().lower()
    check("curl HEAD gives the length and no body",
          head.startswith("http/1.1 200 ok") and "content-length: 100000\r\n" in head
          and head.endswith("\r\n\r\n"), head)
    r = run("curl", "-s", "-o", "/dev/null", "-w", "%{http_code}\n", url + ".missing")
    check("curl missing file gives 404", r.stdout == b"404\n", r.stdout)

    # Three URLs in one run: curl reports one new connection in total when it kept the first.
    args = []
    for i, path in enumerate(["/media/rec.bin", "/api/ping", "/media/odd/"]):
        args += ["-o", os.path.join(tmp, f"ka{i}"), srv.base + path]
    r = run("curl", "-s", "-w", "%{num_connects} %{http_code}\n", *args)
    rows = [line.split() for line in r.stdout.decode().splitlines()]
    check("curl reuses one kept-alive connection",
          rows == [["1", "200"], ["0", "200"], ["0", "200"]], rows)

    # The JSON listing of 1,200 entries, paged with next until it is null.
    seen, cursor, pages = [], "0", 0
    while cursor is not None and pages < 100:
        r = run("curl", "-s", f"{srv.base}/media/many/?format=json&limit=100&cursor={cursor}")
        try:
            page = json.loads(r.stdout)
        except ValueError as e:
            check("JSON listing parses", False, e)
            return
        seen += [item["name"] for item in page["items"]]
        cursor, pages = page["next"], pages + 1
    check("JSON listing paged to the end: every name once, in order",
          seen == many and pages == 12, f"{len(seen)} names in {pages} pages")


class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.hrefs, self.texts, self._in_a = [], [], False

    def handle_starttag(self, tag, attrs):
        if tag == "a":
            self.hrefs.append(dict(attrs).get("href"))
            self._in_a = True
            self.texts.append("")

    def handle_endtag(self, tag):
        self._in_a = self._in_a and tag != "a"

    def handle_data(self, data):
        if self._in_a:
            self.texts[-1] += data


def html_group(srv, names, media):
    for folder, expect in [("/media/odd/", names), ("/media/", ["many", "odd", "big.bin",
                                                                  "rec.bin"])]:
        status, headers, body = fetch(srv.port, folder)
        parser = Links()
        parser.feed(body.decode("utf-8"))
        shown = sorted(t.rstrip("/") for t in parser.texts)
        check(f"HTML index of {folder} shows every name as text", shown == sorted(expect),
              shown)
        c = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=30)
        bad = []
        for href in parser.hrefs:
            target = urllib.parse.urljoin(srv.base + folder, href)
            path = urllib.parse.urlsplit(target).path
            c.request("GET", path)
            r = c.getresponse()
            got = r.read()
            name = urllib.parse.unquote(path[len(folder):]).rstrip("/")
            want_file = os.path.join(media, folder[len("/media/"):], name)
            if r.status != 200 or (os.path.isfile(want_file) and got != open(want_file,
                                                                               "rb").read()):
                bad.append((href, r.status))
        c.close()
        check(f"every link of {folder} resolves to its entry with 200",
              len(parser.hrefs) == len(expect) and not bad, bad or len(parser.hrefs))


def probe(target):
    r = run("ffprobe", "-v", "error", "-show_entries",
            "format=duration:stream=codec_type,codec_name", "-of", "json", target)
    return json.loads(r.stdout or b"{}")


def media_group(srv, media):
    if not have("ffmpeg", "ffmpeg", "ffprobe"):
        return
    src = ["-f", "lavfi", "-i", "testsrc=duration=4:size=320x240:rate=25",
           "-f", "lavfi", "-i", "sine=frequency=440:duration=4"]
    clips = {"clip.mp4": ["-c:v", "mpeg4", "-c:a", "aac", "-movflags", "+faststart"],
             "clip.mkv": ["-c:v", "mpeg4", "-c:a", "mp2"]}
    for name, codecs in clips.items():
        local = os.path.join(media, name)
        r = run("ffmpeg", "-v", "error", "-y", *src, *codecs, "-shortest", local)
        if r.returncode != 0:
            check(f"ffmpeg makes {name}", False, r.stderr)
            continue
        url = f"{srv.base}/media/{name}"
        want, got = probe(local), probe(url)
        streams = [s.get("codec_name") for s in got.get("streams", [])]
        check(f"ffprobe {name} over HTTP matches the file",
              got == want and len(streams) == 2 and 3.5 < float(got["format"]["duration"]) < 4.5,
              f"{got} vs {want}")
        # One frame from the middle, decoded over HTTP after a seek, equals the local one.
        frame = ["-frames:v", "1", "-an", "-f", "md5", "-"]
        a = run("ffmpeg", "-v", "error", "-ss", "2", "-i", local, *frame)
        b = run("ffmpeg", "-v", "error", "-ss", "2", "-i", url, *frame)
        check(f"ffmpeg seeks {name} to 2 s over HTTP and decodes the same frame",
              a.returncode == 0 and b.returncode == 0 and a.stdout.startswith(b"MD5=")
              and a.stdout == b.stdout, (a.stdout, b.stdout, b.stderr))


def aria2_group(srv, big, tmp):
    if not have("aria2c", "aria2c"):
        return
    r = run("aria2c", "-q", "-x", "4", "-s", "4", "-k", "1M", "--file-allocation=none",
            "--allow-overwrite=true", "-d", tmp, "-o", "big.out", srv.base + "/media/big.bin",
            timeout=300)
    want = hashlib.sha256(open(big, "rb").read()).hexdigest()
    out = os.path.join(tmp, "big.out")
    got = hashlib.sha256(open(out, "rb").read()).hexdigest() if os.path.exists(out) else None
    check("aria2c segmented download (4 connections, 1 MiB pieces) hashes equal",
          r.returncode == 0 and got == want, r.stderr)


def compressed_group(srv, tmp):
    """curl --compressed asks for gzip and unpacks it: the page must come out as plain curl
    gets it, and must really have been compressed on the way."""
    if not have("curl --compressed", "curl"):
        return
    head = os.path.join(tmp, "gz.head")
    for path in ["/media/many/", "/media/odd/", "/media/many/?format=json&limit=500"]:
        plain = run("curl", "-s", srv.base + path).stdout
        packed = run("curl", "-s", "--compressed", "-D", head, srv.base + path).stdout
        with open(head, "rb") as f:
            coding = re.search(rb"(?im)^content-encoding: *(\S+)", f.read())
        check(f"curl --compressed {path} gives plain curl's bytes",
              plain and packed == plain and coding and coding.group(1) == b"gzip",
              (len(plain), len(packed), coding))


def wget_group(srv, tmp):
    """wget -N twice: the second run asks with If-Modified-Since and keeps its copy."""
    if not have("wget", "wget"):
        return
    where = os.path.join(tmp, "wget")
    os.makedirs(where)
    url = srv.base + "/media/rec.bin"
    first = run("wget", "-N", "-S", "-P", where, url)
    second = run("wget", "-N", "-S", "-P", where, url)
    with open(os.path.join(where, "rec.bin"), "rb") as f:
        got = f.read()
    with open(os.path.join(srv.root, "rec.bin"), "rb") as f:
        want = f.read()
    check("wget -N twice downloads once",
          first.returncode == 0 and b" 200 OK" in first.stderr and second.returncode == 0
          and b" 304 Not Modified" in second.stderr and b" 200 OK" not in second.stderr
          and got == want, second.stderr[-400:])


def resume_group(srv, tmp):
    """A download resumed with If-Range after the file changed must restart with the new file,
    not splice its tail onto the old bytes; with the current tag it resumes."""
    if not have("curl resume", "curl"):
        return
    path = os.path.join(srv.root, "resume.bin")
    old, new = os.urandom(200000), os.urandom(250000)
    with open(path, "wb") as f:
        f.write(old)
    url, out, head = srv.base + "/media/resume.bin", os.path.join(tmp, "part"), os.path.join(
        tmp, "part.head")
    run("curl", "-s", "-r", "0-99999", "-D", head, "-o", out, url)
    with open(head, "rb") as f:
        m = re.search(rb"(?im)^etag: *(\S+)", f.read())
    tag = m.group(1).decode() if m else '""'
    with open(path, "wb") as f:
        f.write(new)
    r = run("curl", "-s", "-r", "100000-", "-H", f"If-Range: {tag}", "-w", "%{http_code}", "-D",
            head, "-o", out, url)
    with open(out, "rb") as f:
        got = f.read()
    check("resume with a stale If-Range gets the whole new file",
          r.stdout == b"200" and got == new, (r.stdout, len(got)))
    with open(head, "rb") as f:
        m = re.search(rb"(?im)^etag: *(\S+)", f.read())
    tag = m.group(1).decode() if m else '""'
    r = run("curl", "-s", "-r", "100000-", "-H", f"If-Range: {tag}", "-w", "%{http_code}", "-o",
            out, url)
    with open(out, "rb") as f:
        got = f.read()
    check("resume with the current If-Range gets the tail",
          r.stdout == b"206" and got == new[100000:], (r.stdout, len(got)))


def webdriver(port, method, path, body=None):
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method=method,
                                 headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=120) as r:
        return json.loads(r.read())["value"]


def chromium_group(srv, tmp):
    """Headless Chromium, driven through chromedriver's WebDriver protocol, loads a file and
    reloads it: the reload must revalidate with If-None-Match and be answered 304."""
    if not have("chromium", "chromium", "chromedriver"):
        return
    with open(os.path.join(srv.root, "note.txt"), "w") as f:
        f.write("revalidate me\n")
    url = srv.base + "/media/note.txt"
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    driver = subprocess.Popen(["chromedriver", f"--port={port}"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        for _ in range(300):
            try:
                webdriver(port, "GET", "/status")
                break
            except OSError:
                time.sleep(0.1)
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--user-data-dir=" + tempfile.mkdtemp(dir=tmp)]
        caps = {"browserName": "chrome", "goog:loggingPrefs": {"performance": "ALL"},
                "goog:chromeOptions": {"binary": shutil.which("chromium"), "args": args}}
        sid = webdriver(port, "POST", "/session",
                        {"capabilities": {"alwaysMatch": caps}})["sessionId"]
        try:
            webdriver(port, "POST", f"/session/{sid}/url", {"url": url})
            webdriver(port, "POST", f"/session/{sid}/refresh", {})
            text = webdriver(port, "POST", f"/session/{sid}/execute/sync",
                             {"script": "return document.body.innerText", "args": []})
            log = webdriver(port, "POST", f"/session/{sid}/se/log", {"type": "performance"})
        finally:
            webdriver(port, "DELETE", f"/session/{sid}")
    finally:
        driver.terminate()
        driver.wait(timeout=60)
    etag = fetch(srv.port, "/media/note.txt")[1].get("ETag")
    asked, answered = {}, {}
    for entry in log:
        msg = json.loads(entry["message"])["message"]
        p = msg["params"]
        if msg["method"] == "Network.requestWillBeSentExtraInfo":
            asked[p["requestId"]] = {k.lower(): v for k, v in p.get("headers", {}).items()}
        elif msg["method"] == "Network.responseReceivedExtraInfo":
            answered[p["requestId"]] = p.get("statusCode")
    revalidated = [rid for rid, h in asked.items() if h.get("if-none-match") == etag]
    check("Chromium revalidates a file with If-None-Match and gets 304",
          etag and revalidated and all(answered.get(rid) == 304 for rid in revalidated)
          and text.strip() == "revalidate me", (etag, asked, answered, text))


def browser(tmp, work):
    """Runs WORK(port, sid) in a headless Chromium session driven through chromedriver."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    driver = subprocess.Popen(["chromedriver", f"--port={port}"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        for _ in range(300):
            try:
                webdriver(port, "GET", "/status")
                break
            except OSError:
                time.sleep(0.1)
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--user-data-dir=" + tempfile.mkdtemp(dir=tmp)]
        caps = {"browserName": "chrome",
                "goog:chromeOptions": {"binary": shutil.which("chromium"), "args": args}}
        sid = webdriver(port, "POST", "/session",
                        {"capabilities": {"alwaysMatch": caps}})["sessionId"]
        try:
            return work(port, sid)
        finally:
            webdriver(port, "DELETE", f"/session/{sid}")
    finally:
        driver.terminate()
        driver.wait(timeout=60)


LISTEN = """const done = arguments[arguments.length - 1];
window.got = [];
const es = new EventSource('/api/changes');
es.addEventListener('change', e => window.got.push([e.data, e.lastEventId]));
es.onopen = () => done(true);"""


def eventsource_group(srv, exe, tmp):
    """A browser's EventSource sees a file added to a root as one change event: after a poll
    line, and with --poll-every 1 by the server's own passes (no poll line sent)."""
    if not have("eventsource", "chromium", "chromedriver"):
        return
    timed = Server(exe, tempfile.mkdtemp(dir=tmp), ["--poll-every", "1"])
    try:
        for server, name, poll in ((srv, "after a poll line", True),
                                   (timed, "with --poll-every 1", False)):
            def work(port, sid):
                webdriver(port, "POST", f"/session/{sid}/url", {"url": server.base + "/api/ping"})
                webdriver(port, "POST", f"/session/{sid}/execute/async",
                          {"script": LISTEN, "args": []})
                with open(os.path.join(server.root, f"new-{poll}.txt"), "w") as f:
                    f.write("new\n")
                start = time.time()
                if poll:
                    server.proc.stdin.write("poll\n")
                    server.proc.stdin.flush()
                got = []
                while not got and time.time() - start < 20:
                    got = webdriver(port, "POST", f"/session/{sid}/execute/sync",
                                    {"script": "return window.got", "args": []})
                seen = time.time() - start
                time.sleep(1.5)  # a second event would have come by now
                got = webdriver(port, "POST", f"/session/{sid}/execute/sync",
                                {"script": "return window.got", "args": []})
                return got, seen
            got, seen = browser(tmp, work)
            print(f"     EventSource {name}: the change arrived {seen:.2f} s after "
                  + ("the poll line" if poll else "the file was written"))
            check(f"Chromium's EventSource gets one change event {name}",
                  len(got) == 1 and json.loads(got[0][0]) == {"root": "media", "detail": ""}
                  and got[0][1].isdigit(), got)
    finally:
        timed.stop()


def main():
    if len(sys.argv) != 2:
        print("usage: clients_test.py SERVER_EXECUTABLE")
        return 2
    with tempfile.TemporaryDirectory(prefix="kobas-e2e-") as tmp:
        media, records, names, many, big = make_tree(tmp)
        srv = Server(sys.argv[1], media)
        try:
            for group in (lambda: curl_group(srv, records, many, tmp),
                          lambda: html_group(srv, names, media),
                          lambda: media_group(srv, media),
                          lambda: aria2_group(srv, big, tmp),
                          lambda: compressed_group(srv, tmp),
                          lambda: wget_group(srv, tmp),
                          lambda: resume_group(srv, tmp),
                          lambda: chromium_group(srv, tmp),
                          lambda: eventsource_group(srv, sys.argv[1], tmp)):
                try:
                    group()
                except Exception as e:  # a tool that hangs or answers garbage fails its group
                    check("group ran to its end", False, repr(e))
            status, _, body = fetch(srv.port, "/api/ping")
            check("server still answers after every client", status == 200 and body == b"i am ok!")
        finally:
            srv.stop()
    print(f"{counts['passed']} passed, {counts['failed']} failed")
    return 1 if counts["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
