"""get_real through the binding beside a plain Python socket client.

    python3 python/tests/bench_get_real.py --sim build/release/tools/sim/kestrel-sim
    python3 python/tests/bench_get_real.py --port 8000 [--rounds 21] [--calls 2000] [--smoke]

Both clients send the same request to the same kestrel-sim and parse the same
reply into a kestrel.Point; the socket client bounds its wait (5 s) as the
library does. Rounds alternate which client goes first; the figures are the
medians over the rounds of the wall and CPU time per call, and their ratio.
Logging keeps its default (WARNING): the binding's INFO lines are not emitted.
"""

import argparse
import socket
import statistics
import subprocess
import time

import kestrel
from kestrel import Point


class SocketClient:
    """GetReal over a bare socket, in plain Python."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.settimeout(5.0)
        self.pending = b""

    def get_real(self, camera, point):
        x, y = point
        self.sock.sendall(b"<GetReal,%s,%f,%f>\r\n" % (camera.encode("gbk"), x, y))
        while b"\r\n" not in self.pending:
            chunk = self.sock.recv(10240)
            if not chunk:
                raise ConnectionError("the server closed the connection")
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\r\n")
        if not (line.startswith(b"<") and line.endswith(b">")):
            raise ValueError(f"unframed reply {line!r}")
        head, kind, payload = line[1:-1].split(b",", 2)
        if head != b"GetReal" or kind != b"OK":
            raise ValueError(f"failed: {line!r}")
        real_x, real_y = payload.split(b"&", 1)
        return Point(float(real_x), float(real_y))

    def close(self):
        self.sock.close()


def per_call(get_real, calls):
    """(wall, CPU) seconds per call of `calls` GetReal."""
    wall, cpu = time.perf_counter(), time.process_time()
    for i in range(calls):
        get_real("Cam1", (100.0 + i % 7, -20.5))
    return (time.perf_counter() - wall) / calls, (time.process_time() - cpu) / calls


def run(port, rounds, calls):
    binding = kestrel.Client()
    binding.connect("127.0.0.1", port)
    plain = SocketClient(port)
    assert binding.get_real("Cam1", (100, -20.5)) == plain.get_real("Cam1", (100, -20.5))
    clients = {"binding": binding.get_real, "socket": plain.get_real}
    samples = {name: [] for name in clients}
    for r in range(rounds):
        for name in (("binding", "socket") if r % 2 == 0 else ("socket", "binding")):
            samples[name].append(per_call(clients[name], calls))
    plain.close()
    binding.disconnect()
    median = {name: [statistics.median(s[k] for s in samples[name]) for k in (0, 1)]
              for name in clients}
    print(f"get_real: {rounds} rounds x {calls} calls each, median per call")
    print(f"  {'kestrel.Client.get_real':28} {median['binding'][0] * 1e6:8.2f} us wall"
          f" {median['binding'][1] * 1e6:8.2f} us CPU")
    print(f"  {'plain Python socket client':28} {median['socket'][0] * 1e6:8.2f} us wall"
          f" {median['socket'][1] * 1e6:8.2f} us CPU")
    print(f"  {'binding / socket':28} {median['binding'][0] / median['socket'][0]:8.3f}x   wall"
          f" {median['binding'][1] / median['socket'][1]:8.3f}x   CPU")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--sim", help="start this kestrel-sim on a free port")
    where.add_argument("--port", type=int, help="a kestrel-sim already listening on 127.0.0.1")
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--smoke", action="store_true", help="one short round: checks that it runs")
    args = parser.parse_args()
    rounds, calls = (1, 50) if args.smoke else (args.rounds, args.calls)
    if args.port is not None:
        run(args.port, rounds, calls)
        return
    sim = subprocess.Popen([args.sim, "--port", "0"], stdout=subprocess.PIPE, text=True)
    try:
        run(int(sim.stdout.readline().rsplit(":", 1)[1]), rounds, calls)
    finally:
        sim.terminate()
        sim.wait(10)


if __name__ == "__main__":
    main()
