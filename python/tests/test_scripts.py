"""The example and the benchmark still run against kestrel-sim."""

import subprocess
import sys

from conftest import ROOT


def run(script, *args):
    done = subprocess.run([sys.executable, str(script), *args], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def test_calibrate_example_prints_its_tables(sim):
    out = run(ROOT / "examples/calibrate.py", "--port", str(sim.port), "--camera", "CamR")
    assert out[0] == "CamR: 10.000 x 20.000 um per pixel"
    # pixel (0, 0) is the offset (5, -3) mm, 5831 um from where the scale alone puts it
    assert out[3].split() == ["0", "0", "5.0000", "-3.0000", "5831.0"]
    assert out[13] == "wafer edge: 36 points"
    centre_x, centre_y, radius, worst = map(float, out[15].split())
    assert abs(centre_x) < 0.01 and abs(centre_y) < 0.01 and abs(radius - 100) < 0.01
    assert worst <= 10


def test_benchmark_runs_both_clients(sim):
    out = run(ROOT / "bench/python_get_real.py", "--port", str(sim.port), "--smoke")
    assert [line.split()[0] for line in out[1:]] == ["kestrel.Client.get_real", "socket", "socket",
                                                     "binding", "binding"]
