#!/usr/bin/python3
"""bokavo-render against a convolution by FFT, each as a whole process.

Both read the same 1600 x 1200 bitmap (a dim scene with about 1 % highlights, like the
benchmark's), apply the same 64-pixel antialiased disc and write a bitmap: bokavo-render
with its defaults, OpenCV's filter2D with the disc, normalised to sum 1, as its kernel
(OpenCV convolves kernels this large through the DFT). The time of each is the median
wall time of several runs, process start and file input and output included.

    bench/compare_opencv.py [--render build/release/bin/bokavo-render] [--repeat 5]

Needs Debian's python3-opencv (which brings numpy): sudo apt-get install python3-opencv
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

try:
    import cv2
    import numpy as np
except ImportError:
    sys.exit("compare_opencv.py needs OpenCV and numpy: sudo apt-get install python3-opencv")

# The convolution as its own process, so that it pays for start-up and files as
# bokavo-render does.
CONVOLVE = """
import sys, cv2, numpy as np
picture = cv2.imread(sys.argv[1], cv2.IMREAD_COLOR)
disc = cv2.imread(sys.argv[2], cv2.IMREAD_GRAYSCALE).astype(np.float32)
out = cv2.filter2D(picture, -1, disc / disc.sum(), borderType=cv2.BORDER_CONSTANT)
if not cv2.imwrite(sys.argv[3], out):
    sys.exit("cannot write " + sys.argv[3])
"""


def scene(width, height):
    rng = np.random.default_rng(20261207)
    u = np.arange(width) / width
    v = np.arange(height)[:, None] / height
    base = np.stack(np.broadcast_arrays(40 + 50 * u, 30 + 60 * v * u,
                                        60 + 40 * np.sin(6 * u + 3 * v)), axis=-1)
    picture = np.clip(base.astype(int) + rng.integers(-4, 5, base.shape), 0, 255)
    highlights = rng.random((height, width)) < 0.01
    picture[highlights] = 230 + rng.integers(0, 26, (int(highlights.sum()), 3))
    return picture.astype(np.uint8)


def disc(n):
    """Each byte the covered share of its pixel, from 8 x 8 samples."""
    samples = (np.arange(n * 8) + 0.5) / 8 - n / 2
    inside = samples[None, :] ** 2 + samples[:, None] ** 2 <= (n / 2) ** 2
    covered = inside.reshape(n, 8, n, 8).sum(axis=(1, 3))
    return np.repeat((covered * 255 // 64).astype(np.uint8)[:, :, None], 3, axis=2)


def median_seconds(command, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run(command, check=True)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--render", default="build/release/bin/bokavo-render")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if not os.access(args.render, os.X_OK):
        sys.exit(f"no bokavo-render at {args.render}: build it, or name it with --render")

    with tempfile.TemporaryDirectory(prefix="bokavo-opencv-") as folder:
        picture = os.path.join(folder, "scene.bmp")
        kernel = os.path.join(folder, "disc64.bmp")
        cv2.imwrite(picture, scene(1600, 1200))
        cv2.imwrite(kernel, disc(64))
        ours = median_seconds([args.render, "--quiet", "--diaphragm", kernel, picture,
                               os.path.join(folder, "bokavo.bmp")], args.repeat)
        theirs = median_seconds([sys.executable, "-c", CONVOLVE, picture, kernel,
                                 os.path.join(folder, "opencv.bmp")], args.repeat)
    print(f"1600 x 1200, 64-pixel disc, whole process, median of {args.repeat}:")
    print(f"  bokavo-render          {ours:.3f} s")
    print(f"  OpenCV filter2D (FFT)  {theirs:.3f} s  (OpenCV {cv2.__version__})")
    print(f"  bokavo-render takes {ours / theirs:.2f} x the time of the convolution")


if __name__ == "__main__":
    main()
