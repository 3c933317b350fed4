#!/usr/bin/python3
"""Prints "HTTP;HTTPS;DISPLAY": two loopback ports and an X display number that are
free right now, for a build tree whose tests must not meet another tree's.

Ports come from below Linux's ephemeral range (32768 and up), so no outgoing
connection is handed one of them later; the display from 100 to 899, above the
numbers people use by hand. Both are random, so two trees configured at the same
moment still choose apart."""

import os
import random
import socket


def port_is_free(port):
    for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        try:
            with socket.socket(family, socket.SOCK_STREAM) as s:
                s.bind((host, port))
        except OSError as error:
            if family == socket.AF_INET6 and error.errno == 99:  # no IPv6 loopback here
                continue
            return False
    return True


def display_is_free(number):
    return not any(os.path.exists(p) for p in (f"/tmp/.X11-unix/X{number}",
                                                f"/tmp/.X{number}-lock"))


def main():
    chooser = random.SystemRandom()
    ports = []
    while len(ports) < 2:
        port = chooser.randrange(20000, 32000)
        if port not in ports and port_is_free(port):
            ports.append(port)
    display = next(n for n in iter(lambda: chooser.randrange(100, 900), None)
                   if display_is_free(n))
    print(f"{ports[0]};{ports[1]};{display}", end="")


if __name__ == "__main__":
    main()
