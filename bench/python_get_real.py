"""get_real through the binding beside a plain Python socket client.

    python3 bench/python_get_real.py --sim build/release/tools/sim/kestrel-sim
    python3 bench/python_get_real.py --port 8000 [--rounds 21] [--calls 2000] [--smoke]

The clients send the same request to the same kestrel-sim and parse the same
reply into a kestrel.Point. The socket client runs twice: with a 5 s timeout,
bounding its wait as the library does (Python then polls before each send and
receive), and blocking without one. Rounds rotate which client goes first;
the figures are the medians over the rounds of the wall and CPU time per
call, and the binding's ratio to each.
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

    def __init__(self, port, timeout):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.settimeout(timeout)
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
    timed, blocking = SocketClient(port, 5.0), SocketClient(port, None)
    clients = {"kestrel.Client.get_real": binding.get_real,
               "socket client, 5 s timeout": timed.get_real,
               "socket client, blocking": blocking.get_real}
    expected = binding.get_real("Cam1", (100, -20.5))
    assert all(get_real("Cam1", (100, -20.5)) == expected for get_real in clients.values())
    names = list(clients)
    samples = {name: [] for name in names}
    for r in range(rounds):
        for name in names[r % 3:] + names[:r % 3]:
            samples[name].append(per_call(clients[name], calls))
    timed.close()
    blocking.close()
    binding.disconnect()
    wall, cpu = ({name: statistics.median(s[k] for s in samples[name]) for name in names}
                 for k in (0, 1))
    print(f"get_real: {rounds} rounds x {calls} calls each, median per call")
    for name in names:
        print(f"  {name:38} {wall[name] * 1e6:8.2f} us wall {cpu[name] * 1e6:8.2f} us CPU")
    for name in names[1:]:
        print(f"  {'binding / ' + name:38} {wall[names[0]] / wall[name]:8.3f}x   wall"
              f" {cpu[names[0]] / cpu[name]:8.3f}x   CPU")


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
