#!/usr/bin/env python3
"""Holds COUNT slow clients against a server for SECONDS: each sends a
request line, then one header byte every INTERVAL seconds, never ending its
head. A connection the server closes is replaced at once, so COUNT stay
open throughout. Prints how long each closed connection had lived (the
server's head deadline), and how many ever got bytes back.

usage: slow_clients.py HOST PORT COUNT SECONDS [INTERVAL]
"""
import selectors
import socket
import statistics
import sys
import time


def main():
    host, port = sys.argv[1], int(sys.argv[2])
    count, seconds = int(sys.argv[3]), float(sys.argv[4])
    interval = float(sys.argv[5]) if len(sys.argv) > 5 else 10.0
    selector = selectors.DefaultSelector()
    opened = {}  # socket -> (time connected, bytes received)
    lives, answered, failed_connects = [], 0, 0

    def connect():
        nonlocal failed_connects
        s = socket.socket()
        try:
            s.connect((host, port))
            s.sendall(b"GET /1k.html HTTP/1.1\r\nHost: slow\r\nX-Slow: ")
        except OSError:
            failed_connects += 1
            s.close()
            return
        s.setblocking(False)
        selector.register(s, selectors.EVENT_READ)
        opened[s] = [time.monotonic(), 0]

    for _ in range(count):
        connect()
    end = time.monotonic() + seconds
    next_byte = time.monotonic() + interval
    while time.monotonic() < end:
        for key, _ in selector.select(timeout=0.2):
            s = key.fileobj
            try:
                data = s.recv(65536)
            except OSError:
                data = b""
            if data:
                opened[s][1] += len(data)
                continue
            started, got = opened.pop(s)
            lives.append(time.monotonic() - started)
            answered += got > 0
            selector.unregister(s)
            s.close()
            connect()
        if time.monotonic() >= next_byte:
            next_byte += interval
            for s in list(opened):
                try:
                    s.send(b"x")
                except OSError:
                    pass
    still = len(opened)
    for s in list(opened):
        s.close()
    if lives:
        lives.sort()
        print(f"slow clients: {count} held for {seconds:.0f} s, one byte each {interval:.0f} s; "
              f"{len(lives)} closed by the server after {lives[0]:.1f} / "
              f"{statistics.median(lives):.1f} / {lives[-1]:.1f} s (min / median / max), "
              f"{answered} of them with an answer; {still} open at the end; "
              f"{failed_connects} connects failed")
    else:
        print(f"slow clients: {count} held for {seconds:.0f} s; none closed by the server; "
              f"{failed_connects} connects failed")


if __name__ == "__main__":
    main()
