#!/usr/bin/env bash
# Makes the README's portrait pictures in docs/ from the release build:
#   portrait.png, portrait_depth.png, portrait_after.png
# a synthetic phone portrait (scripts/make_portrait_example.py), the depth map Bokavo
# reads from it (bokavo-render --save-depth), and the photo defocused by that map with
# the face in focus. Run after ./run.sh or ./test.sh:  scripts/make_portrait_images.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/release/bin
[ -x "$bin/bokavo-render" ] || {
    echo "make_portrait_images: build first (./run.sh or ./test.sh)" >&2
    exit 1
}
temp=$(mktemp -d)
trap 'rm -rf "$temp"' EXIT
mkdir -p docs

/usr/bin/python3 scripts/make_portrait_example.py "$temp/portrait.jpg"
# The face lies at 0.8 ... 0.9 m of the map's 0.6 ... 12 m: nearness 188 at the nose, and
# the focus range keeps the rest of the face sharp.
"$bin/bokavo-render" -q --embedded-depth --save-depth docs/portrait_depth.png \
    --occlusion bright-near --threshold 188 --focus-range 25 "$temp/portrait.jpg" "$temp/after.png"
/usr/bin/python3 - "$temp" <<'PYTHON'
import sys
from PIL import Image
temp = sys.argv[1]
Image.open(f"{temp}/portrait.jpg").convert("RGB").quantize(
    256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE).save("docs/portrait.png", optimize=True)
Image.open(f"{temp}/after.png").convert("RGB").quantize(
    256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE).save("docs/portrait_after.png", optimize=True)
Image.open("docs/portrait_depth.png").save("docs/portrait_depth.png", optimize=True)
PYTHON
ls -l docs/portrait.png docs/portrait_depth.png docs/portrait_after.png
