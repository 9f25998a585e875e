#!/usr/bin/env python3
"""Checks a camera's calibration against the vision server.

Reads the camera's scale, converts a grid of pixel points into real
coordinates (showing how far each lies from what the scale alone predicts:
the camera's offset and rotation), fits a circle through the wafer edge and
prints both as tables.

    python3 examples/calibrate.py [--address 127.0.0.1] [--port 8000] [--camera Cam1]
"""

import argparse
import math
import sys

import kestrel


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--camera", default="Cam1")
    args = parser.parse_args()

    client = kestrel.Client()
    try:
        client.connect(args.address, args.port)
    except kestrel.ConnectionError as error:
        sys.exit(f"no vision server: {error}")
    try:
        scale = client.get_camera_scale(args.camera)
        print(f"{args.camera}: {scale.x * 1000:.3f} x {scale.y * 1000:.3f} um per pixel\n")

        print(f"{'pixel x':>8} {'pixel y':>8} {'real x mm':>11} {'real y mm':>11} {'off scale um':>13}")
        for pixel_y in (0, 480, 960):
            for pixel_x in (0, 640, 1280):
                real = client.get_real(args.camera, (pixel_x, pixel_y))
                off = math.dist(real, (pixel_x * scale.x, pixel_y * scale.y)) * 1000
                print(f"{pixel_x:8d} {pixel_y:8d} {real.x:11.4f} {real.y:11.4f} {off:13.1f}")

        edge = client.wafer_edge(args.camera, "edge", (0, 0), True)
        circle = client.fix_circle(edge)
        residuals = [math.dist(p, circle.center) - circle.radius for p in edge]
        print(f"\nwafer edge: {len(edge)} points")
        print(f"{'centre x mm':>12} {'centre y mm':>12} {'radius mm':>11} {'worst residual um':>18}")
        print(f"{circle.center.x:12.4f} {circle.center.y:12.4f} {circle.radius:11.4f}"
              f" {max(map(abs, residuals)) * 1000:18.2f}")
    except kestrel.KestrelError as error:
        sys.exit(f"calibration check failed: {error}")
    finally:
        client.disconnect()


if __name__ == "__main__":
    main()
