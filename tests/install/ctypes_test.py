#!/usr/bin/env python3
"""ctypes_test.py LIBKOBAS: drives the C interface from another language through ctypes, with
the argument and result types a binding has to declare, and serves over loopback HTTP.

Prints one line per check and closes with "N passed, M failed"; exits 1 when any check failed
and 77 (skipped) when the library is built with sanitizers, whose runtimes cannot be loaded into
an uninstrumented interpreter."""

import ctypes
import os
import sys
import tempfile
import urllib.error
import urllib.request

CHANGE_CB = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p)


def load(path):
    lib = ctypes.CDLL(path)
    c_int, c_char_p, c_int64 = ctypes.c_int, ctypes.c_char_p, ctypes.c_int64
    sigs = {
        "kobas_config": ([c_char_p, c_char_p], c_int),
        "kobas_start": ([], c_int),
        "kobas_stop": ([], None),
        "kobas_is_running": ([], c_int),
        "kobas_port": ([], c_int),
        "kobas_version": ([], c_char_p),
        "kobas_add_root": ([c_char_p, c_char_p], c_int),
        "kobas_remove_root": ([c_char_p], c_int),
        "kobas_root_count": ([], c_int),
        "kobas_roots_json": ([], c_char_p),
        "kobas_listing_html": ([c_char_p, c_char_p], c_char_p),
        "kobas_listing_json": ([c_char_p, c_char_p, c_int, c_int], c_char_p),
        "kobas_href_for": ([c_char_p, c_char_p, c_int], c_char_p),
        "kobas_parse_range": (
            [c_char_p, c_int64, ctypes.POINTER(c_int64), ctypes.POINTER(c_int64),
             ctypes.POINTER(c_int)], c_int),
        "kobas_mime_for": ([c_char_p], c_char_p),
        "kobas_safe_rel": ([c_char_p], c_int),
        "kobas_on_change": ([CHANGE_CB, ctypes.c_void_p], c_int),
        "kobas_poll_changes": ([], None),
        "kobas_last_code": ([], c_int),
        "kobas_last_error": ([], c_char_p),
    }
    for name, (args, res) in sigs.items():
        fn = getattr(lib, name)
        fn.argtypes = args
        fn.restype = res
    return lib


def expect(got, want, what):
    if got != want:
        raise AssertionError("%s: got %r, want %r" % (what, got, want))


def last(lib):
    return lib.kobas_last_code(), lib.kobas_last_error()


def http_get(url, range_header=None):
    # Loopback only, never through a proxy from the environment.
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    req = urllib.request.Request(url)
    if range_header:
        req.add_header("Range", range_header)
    with opener.open(req, timeout=10) as resp:
        return resp.status, resp.read()


def check_version(lib):
    expect(lib.kobas_version(), b"1.0.0", "kobas_version")
    expect(last(lib), (0, b""), "last error after kobas_version")


def check_parse_range(lib):
    rows = [  # header, size, result, first, last, partial
        (b"bytes=-100", 1000, 0, 900, 999, 0),
        (b"bytes=0-99,200-299", 1000, 0, 0, 99, 1),
        (b"bytes=1000-", 1000, 416, -1, 0, 0),
        (b"items=0-1", 1000, -1, 0, 0, 0),
        (None, 1000, 1, 0, 0, 0),
    ]
    for header, size, want, want_first, want_last, want_partial in rows:
        first, last_pos, partial = ctypes.c_int64(-2), ctypes.c_int64(-2), ctypes.c_int(-2)
        got = lib.kobas_parse_range(header, size, ctypes.byref(first), ctypes.byref(last_pos),
                                    ctypes.byref(partial))
        expect((got, first.value, last_pos.value, partial.value),
               (want, want_first, want_last, want_partial), "kobas_parse_range(%r)" % header)
    # Every output is optional: NULL pointers are accepted.
    expect(lib.kobas_parse_range(b"bytes=0-9", 100, None, None, None), 0, "parse_range, no outputs")


def check_safe_rel(lib):
    lib.kobas_config(b"Port", b"80")  # leaves an error behind, which the next call must clear
    expect(lib.kobas_safe_rel(b"a/../b"), 404, "kobas_safe_rel(a/../b)")
    expect(last(lib), (0, b""), "last error after kobas_safe_rel")
    expect(lib.kobas_safe_rel(b"a\\b"), 400, "kobas_safe_rel(a\\b)")
    expect(lib.kobas_safe_rel(b"music/a b.mkv"), 0, "kobas_safe_rel(music/a b.mkv)")


def check_config(lib):
    rows = [  # key, value, result, last code, last message
        (b"Port", b"80", -1, -1, b"unknown key"),
        (b"port", b"65536", -1, -1, b"port 0..65535"),
        (b"threads", b"17", -1, -1, b"threads 1..16"),
        (None, b"1", -1, -1, b"key required"),
        (b"threads", b"16", 0, 0, b""),
        (b"threads", None, 0, 0, b""),
        (b"port", b"0", 0, 0, b""),
    ]
    for key, value, want, want_code, want_msg in rows:
        got = lib.kobas_config(key, value)
        expect((got,) + last(lib), (want, want_code, want_msg), "kobas_config(%r, %r)" % (key, value))


def check_serve(lib):
    with tempfile.TemporaryDirectory(prefix="kobas-ctypes.") as tmp:
        body = b"".join(b"rec-%03d|" % i for i in range(100))  # 800 bytes, offsets readable
        with open(os.path.join(tmp, "clip.bin"), "wb") as f:
            f.write(body)

        seen = []

        def on_change(name, detail, user):
            seen.append((name, detail))
            return 0

        callback = CHANGE_CB(on_change)  # kept alive while the library holds it
        expect(lib.kobas_on_change(callback, None), 1, "kobas_on_change(cb)")
        try:
            expect(lib.kobas_add_root(b"media", tmp.encode()), 0, "kobas_add_root")
            expect(lib.kobas_root_count(), 1, "root count after add")
            expect(lib.kobas_add_root(b"media", tmp.encode()), -1, "second add of media")
            expect(last(lib), (-1, b"root name already used: media"), "duplicate root message")
            roots = lib.kobas_roots_json()
            expect(roots.startswith(b'[{"name":"media","path":"'), True, "roots json %r" % roots)
            expect(roots.endswith(b'","kind":"folder"}]'), True, "roots json %r" % roots)
            listing = lib.kobas_listing_json(b"media", b"", 0, 500)
            expect(b'"name":"clip.bin","kind":"file","size":800' in listing, True,
                   "listing %r" % listing)
            expect(lib.kobas_href_for(b"media", b"a b/c.mkv", 0), b"/media/a%20b/c.mkv", "href")

            expect(lib.kobas_config(b"bind_ip", b"127.0.0.1"), 0, "bind_ip")
            expect(lib.kobas_config(b"port", b"0"), 0, "port 0")
            expect(lib.kobas_start(), 0, "kobas_start: %r" % (last(lib),))
            try:
                expect(lib.kobas_is_running(), 1, "is_running")
                port = lib.kobas_port()
                expect(0 < port < 65536, True, "kobas_port %d" % port)
                expect(lib.kobas_start(), -2, "second kobas_start")
                expect(last(lib), (-2, b"already running"), "second start message")

                base = "http://127.0.0.1:%d" % port
                expect(http_get(base + "/api/ping"), (200, b"i am ok!"), "/api/ping")
                expect(http_get(base + "/media/clip.bin"), (200, body), "/media/clip.bin")
                expect(http_get(base + "/media/clip.bin", "bytes=16-23"), (206, b"rec-002|"),
                       "ranged /media/clip.bin")
                try:
                    http_get(base + "/media/missing.bin")
                    raise AssertionError("missing file answered 2xx")
                except urllib.error.HTTPError as e:
                    expect(e.code, 404, "missing file status")

                # A new top-level file is one changed root on the next pass, reported once.
                with open(os.path.join(tmp, "new.txt"), "wb") as f:
                    f.write(b"x")
                lib.kobas_poll_changes()
                lib.kobas_poll_changes()
                expect(seen, [(b"media", b"")], "change reports")
            finally:
                lib.kobas_stop()
            expect(lib.kobas_is_running(), 0, "is_running after stop")
            expect(lib.kobas_port(), 0, "port after stop")
            expect(lib.kobas_root_count(), 0, "root count after stop")
        finally:
            lib.kobas_on_change(CHANGE_CB(), None)  # NULL: the callback object may go now


def main():
    if len(sys.argv) != 2:
        print("usage: ctypes_test.py LIBKOBAS", file=sys.stderr)
        return 2
    if os.environ.get("KOBAS_SANITIZE"):
        print("skipped: library built with -fsanitize=%s, whose runtime python3 cannot load"
              % os.environ["KOBAS_SANITIZE"])
        return 77
    lib = load(sys.argv[1])
    checks = [check_version, check_parse_range, check_safe_rel, check_config, check_serve]
    passed = failed = 0
    for check in checks:
        try:
            check(lib)
        except Exception as e:  # a failed check names itself and the run goes on
            failed += 1
            print("FAIL %s: %s" % (check.__name__, e))
        else:
            passed += 1
            print("ok   %s" % check.__name__)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
