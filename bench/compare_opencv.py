#!/usr/bin/python3
"""bokavo-render against a convolution by FFT, each as a whole process.

Both read the same 1600 x 1200 bitmap (a dim scene with about 1 % highlights, like the
benchmark's), apply the same antialiased disc and write a bitmap: bokavo-render with its
defaults, OpenCV's filter2D with the disc, normalised to sum 1, as its kernel (OpenCV
convolves kernels this large through the DFT). Each disc size is timed in turn, the two
programs taking turns run by run; the time of each is the median wall time of several
runs, process start and file input and output included. --big-disc adds a 24-megapixel
picture (6000 x 4000) with a 151-pixel disc, the size a fast portrait lens gives there.

    bench/compare_opencv.py [--render build/release/bin/bokavo-render] [--repeat 5]
                            [--sizes 64,128,200] [--big-disc]

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


def median_seconds(commands, repeat):
    """The median wall time of each command, run in turn, so that both see the same load."""
    times = [[] for _ in commands]
    for _ in range(repeat):
        for command, spent in zip(commands, times):
            start = time.perf_counter()
            subprocess.run(command, check=True)
            spent.append(time.perf_counter() - start)
    return [statistics.median(spent) for spent in times]


def compare(folder, render, width, height, side, repeat):
    """Both programs' median times on a width x height scene through a disc of `side`."""
    picture = os.path.join(folder, f"scene{width}x{height}.bmp")
    kernel = os.path.join(folder, f"disc{side}.bmp")
    if not os.path.exists(picture):
        cv2.imwrite(picture, scene(width, height))
    cv2.imwrite(kernel, disc(side))
    return median_seconds(
        [[render, "--quiet", "--diaphragm", kernel, picture, os.path.join(folder, "bokavo.bmp")],
         [sys.executable, "-c", CONVOLVE, picture, kernel, os.path.join(folder, "opencv.bmp")]],
        repeat)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--render", default="build/release/bin/bokavo-render")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--sizes", default="64,128,200",
                        help="disc sides on 1600 x 1200, separated by commas")
    parser.add_argument("--big-disc", action="store_true",
                        help="also 6000 x 4000 with a 151-pixel disc")
    args = parser.parse_args()
    if not os.access(args.render, os.X_OK):
        sys.exit(f"no bokavo-render at {args.render}: build it, or name it with --render")
    try:
        sizes = [int(size) for size in args.sizes.split(",")]
    except ValueError:
        sys.exit(f"--sizes takes whole numbers separated by commas, not {args.sizes!r}")
    if args.repeat < 1 or any(size < 1 for size in sizes):
        sys.exit("--repeat and every size must be at least 1")

    cases = [(1600, 1200, size) for size in sizes]
    if args.big_disc:
        cases.append((6000, 4000, 151))
    print(f"Whole processes, median of {args.repeat} (OpenCV {cv2.__version__}):")
    print("  picture      disc   bokavo-render   OpenCV filter2D (FFT)   bokavo / FFT")
    with tempfile.TemporaryDirectory(prefix="bokavo-opencv-") as folder:
        for width, height, side in cases:
            ours, theirs = compare(folder, args.render, width, height, side, args.repeat)
            print(f"  {width:4} x {height:<4}  {side:4}   {ours:10.3f} s   {theirs:16.3f} s"
                  f"      {ours / theirs:8.2f}")


if __name__ == "__main__":
    main()
