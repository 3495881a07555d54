#!/usr/bin/env python3
"""Opens COUNT connections to a server and holds them idle for SECONDS.

kind "kept": each asks for PATH once on a persistent connection and reads
the whole answer, then waits as a browser's kept connection does.
kind "silent": each connects and sends nothing.

Prints "ready N" once all N are in that state (or as many as could be
opened), then holds them and closes them at the end.

usage: idle_clients.py HOST PORT COUNT KIND SECONDS [PATH]
"""
import resource
import socket
import sys
import time


def read_answer(s):
    """Reads one answer with a Content-Length; false when it does not come."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            return False
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(body) < length:
        chunk = s.recv(65536)
        if not chunk:
            return False
        body += chunk
    return True


def main():
    if len(sys.argv) < 6 or sys.argv[4] not in ("kept", "silent"):
        sys.exit(__doc__.strip().splitlines()[-1])
    host, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    kind, seconds = sys.argv[4], float(sys.argv[5])
    path = sys.argv[6] if len(sys.argv) > 6 else "/1k.html"
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < count + 64:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, count + 64), hard))
    request = f"GET {path} HTTP/1.1\r\nHost: idle\r\n\r\n".encode()
    held, failed = [], 0
    for _ in range(count):
        s = socket.socket()
        s.settimeout(10)
        try:
            s.connect((host, port))
            if kind == "kept":
                s.sendall(request)
                if not read_answer(s):
                    raise OSError("no answer")
        except OSError:
            failed += 1
            s.close()
            continue
        held.append(s)
    print(f"ready {len(held)}" + (f" ({failed} failed)" if failed else ""), flush=True)
    time.sleep(seconds)
    for s in held:
        s.close()


if __name__ == "__main__":
    main()
