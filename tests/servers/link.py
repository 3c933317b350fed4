#!/usr/bin/python3
"""A long, narrow link on loopback: a TCP proxy that delays every byte by half a
round trip in each direction and caps the rate the link carries, shared by all the
connections through it, as one access line would.

    link.py --to PORT [--listen PORT] [--rtt-ms 40] [--rate-mbit 200]

As a module: `Link(upstream_port, rtt_ms, rate_mbit)` works as a context manager and
serves on `link.port` (127.0.0.1 only) from a thread of its own.

How it behaves, per direction: a block read from one side leaves the link's
"wire" when the wire is free and its bytes have been clocked out at the rate, and is
delivered half a round trip later. A new connection pays one round trip before its
first bytes go (the TCP handshake across the link). While more than a round trip's
worth of data (plus a little queue) is on the wire for a connection, the proxy stops
reading from its sender, so the sender's own TCP sees the narrow link and slows down
rather than filling the proxy's memory.
"""

from __future__ import annotations

import argparse
import asyncio
import socket
import threading
import time
from collections import deque

LOOPBACK = "127.0.0.1"
BLOCK = 65536


class Wire:
    """One direction of the link, shared by every connection: when it is next free."""

    def __init__(self, rate_bytes: float):
        self.rate = rate_bytes
        self.free_at = 0.0

    def clock_out(self, size: int, now: float) -> float:
        """When a block of size bytes offered at now has left the sending end."""
        start = max(now, self.free_at)
        self.free_at = start + size / self.rate
        return self.free_at


class Pipe:
    """One direction of one connection: blocks on the wire, in order, each with the
    time it reaches the other end."""

    def __init__(self, wire: Wire, delay: float, not_before: float, window: int):
        self.wire = wire
        self.delay = delay
        self.not_before = not_before
        self.window = window
        self.queue: deque[tuple[float, bytes]] = deque()
        self.in_flight = 0
        self.changed = asyncio.Event()
        self.closed = False

    async def carry(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        sender = asyncio.ensure_future(self._send(writer))
        try:
            while True:
                while self.in_flight >= self.window:
                    self.changed.clear()
                    await self.changed.wait()
                block = await reader.read(BLOCK)
                if not block:
                    break
                loop_now = time.monotonic()
                departure = max(self.wire.clock_out(len(block), loop_now), self.not_before)
                self.queue.append((departure + self.delay, block))
                self.in_flight += len(block)
                self.changed.set()
        except (ConnectionError, OSError):
            pass
        finally:
            self.closed = True
            self.changed.set()
            await sender

    async def _send(self, writer: asyncio.StreamWriter) -> None:
        try:
            while True:
                if not self.queue:
                    if self.closed:
                        break
                    self.changed.clear()
                    await self.changed.wait()
                    continue
                arrival, block = self.queue[0]
                wait = arrival - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
                self.queue.popleft()
                writer.write(block)
                await writer.drain()
                self.in_flight -= len(block)
                self.changed.set()
        except (ConnectionError, OSError):
            pass
        finally:
            try:
                if writer.can_write_eof():
                    writer.write_eof()
            except (ConnectionError, OSError):
                pass


class Link:
    def __init__(self, upstream_port: int, rtt_ms: float = 40.0, rate_mbit: float = 200.0,
                 port: int = 0):
        self.upstream_port = upstream_port
        self.delay = rtt_ms / 2000.0
        self.rtt = rtt_ms / 1000.0
        rate = rate_mbit * 1_000_000 / 8
        self.wires = (Wire(rate), Wire(rate))  # towards the server, towards the client
        # A round trip's worth of bytes in flight, and a queue of a few blocks.
        self.window = int(rate * self.rtt) + 4 * BLOCK
        self.port = port
        self.connections = 0
        self._loop: asyncio.AbstractEventLoop | None = None
        self._server: asyncio.base_events.Server | None = None
        self._thread: threading.Thread | None = None

    async def _serve_one(self, client_reader, client_writer) -> None:
        self.connections += 1
        opened = time.monotonic()
        try:
            server_reader, server_writer = await asyncio.open_connection(LOOPBACK,
                                                                         self.upstream_port)
        except OSError:
            client_writer.close()
            return
        # The handshake's round trip comes before the first bytes of either side.
        up = Pipe(self.wires[0], self.delay, opened + self.rtt, self.window)
        down = Pipe(self.wires[1], self.delay, opened + self.rtt, self.window)
        await asyncio.gather(up.carry(client_reader, server_writer),
                             down.carry(server_reader, client_writer))
        for writer in (server_writer, client_writer):
            writer.close()

    def start(self) -> "Link":
        ready = threading.Event()

        def run() -> None:
            self._loop = asyncio.new_event_loop()
            asyncio.set_event_loop(self._loop)
            self._server = self._loop.run_until_complete(
                asyncio.start_server(self._serve_one, LOOPBACK, self.port,
                                     family=socket.AF_INET))
            self.port = self._server.sockets[0].getsockname()[1]
            ready.set()
            self._loop.run_forever()
            self._server.close()
            self._loop.run_until_complete(self._server.wait_closed())
            for task in asyncio.all_tasks(self._loop):
                task.cancel()
            self._loop.run_until_complete(asyncio.sleep(0))
            self._loop.close()

        self._thread = threading.Thread(target=run, daemon=True)
        self._thread.start()
        if not ready.wait(10):
            raise RuntimeError("the link did not start")
        return self

    def stop(self) -> None:
        if self._loop is not None and self._thread is not None:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(timeout=10)
        self._thread = None

    def __enter__(self) -> "Link":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--to", type=int, required=True, help="the server's loopback port")
    parser.add_argument("--listen", type=int, default=0, help="port to serve on (0: free)")
    parser.add_argument("--rtt-ms", type=float, default=40.0)
    parser.add_argument("--rate-mbit", type=float, default=200.0)
    args = parser.parse_args()
    with Link(args.to, args.rtt_ms, args.rate_mbit, args.listen) as link:
        print(f"127.0.0.1:{link.port} -> 127.0.0.1:{args.to}, "
              f"{args.rtt_ms:g} ms round trip, {args.rate_mbit:g} Mbit/s", flush=True)
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
