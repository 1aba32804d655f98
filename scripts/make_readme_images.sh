#!/usr/bin/env bash
# Makes the README's pictures in docs/ from the release build:
#   sample_before.png, sample_after.png  the sample and bokavo-render's result with depth
#                                        of field (the railing in focus)
#   occlusion_off.png, occlusion_on.png  the right part of that result, and of the same
#                                        with --occlusion dark-near (the sample's near end
#                                        is dark): the lamp posts hide the lights behind
#   windows.png                          both windows of bokavo with the sample defocused
#                                        and previewed, shot on a private X server
#   focus_area.png                       the main window with the focus area shown after
#                                        a double-click on the railing
#   portrait*.png                        a synthetic phone portrait, its depth map and the
#                                        result (scripts/make_portrait_images.sh)
#   status_bar.png                       the main window's status bar after Defocus: the
#                                        message and the picture's name, size and zoom
#   live_preview.png                     the main window with the live preview on, the
#                                        railing in focus
# Run after ./run.sh or ./test.sh:  scripts/make_readme_images.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/release/bin

for tool in xvfb-run xdotool import /usr/bin/python3; do
    command -v "$tool" >/dev/null || {
        echo "make_readme_images: $tool is missing; install it with:" >&2
        echo "  sudo apt-get install xvfb xauth xdotool imagemagick python3-pil" >&2
        exit 1
    }
done
[ -x "$bin/bokavo" ] && [ -x "$bin/bokavo-render" ] || {
    echo "make_readme_images: build first (./run.sh or ./test.sh)" >&2
    exit 1
}

temp=$(mktemp -d)
trap 'rm -rf "$temp"' EXIT
mkdir -p docs

# --- Before and after -----------------------------------------------------------------
"$bin/bokavo-render" -q --zmask data/sample_zmask.bmp --threshold 40 data/sample.bmp \
    "$temp/after.bmp"
"$bin/bokavo-render" -q --zmask data/sample_zmask.bmp --threshold 40 --occlusion dark-near \
    data/sample.bmp "$temp/occluded.bmp"
/usr/bin/python3 - "$temp/after.bmp" "$temp/occluded.bmp" <<'EOF'
import sys
from PIL import Image
Image.open("data/sample.bmp").convert("RGB").save("docs/sample_before.png", optimize=True)
# The blurred result and the windows are smooth; 256 colours keep them small with no
# visible loss.
def save(image, path):
    image.quantize(256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE).save(
        path, optimize=True)
after = Image.open(sys.argv[1]).convert("RGB")
save(after, "docs/sample_after.png")
# The lamp posts on the right, in front of the skyline's lights.
part = (340, 80, 640, 400)
save(after.crop(part), "docs/occlusion_off.png")
save(Image.open(sys.argv[2]).convert("RGB").crop(part), "docs/occlusion_on.png")
EOF

# --- The windows ----------------------------------------------------------------------
# Driven the way a user would: the sample opened through the File menu, the depth mask
# loaded and depth of field switched on in the settings window, a preview, then Defocus
# from the Edit menu. Each window is then captured on its own and laid out as it was on
# the screen. Clicks go to the controls' places in the settings window's client area.
cat >"$temp/shoot.sh" <<'EOF'
set -euo pipefail
bin=$1 data=$2 out=$3
export QT_QPA_PLATFORMTHEME= XDG_RUNTIME_DIR=$out
"$bin/bokavo" &
app=$!
trap 'kill $app 2>/dev/null || true' EXIT
main=$(xdotool search --sync --onlyvisible --name '^Bokavo ver')
settings=$(xdotool search --sync --onlyvisible --name '^Defocus settings$')
sleep 1

# Types a file name into the open dialog titled $1 that has just appeared.
choose_file() {
    local dialog
    dialog=$(xdotool search --sync --onlyvisible --name "^$1\$")
    sleep 0.5
    xdotool windowfocus --sync "$dialog"
    xdotool type --delay 5 "$2"
    xdotool key Return
    sleep 1
}
click_settings() {
    xdotool mousemove --window "$settings" "$1" "$2" click 1
    sleep 0.5
}

xdotool windowfocus --sync "$main"
xdotool key --clearmodifiers alt+f
sleep 0.5
xdotool key o
choose_file 'Open picture' "$data/sample.bmp"

click_settings 280 572   # Load ZMask
choose_file 'Open depth mask \(ZMask\)' "$data/sample_zmask.bmp"

# The focus area: ticked, and the focus picked by a double-click on the railing, which
# also ticks "Use DOF with ZMask".
click_settings 184 537   # Show focus area
xdotool mousemove --window "$main" 100 361 click --repeat 2 --delay 80 1
sleep 1
import -window "$main" "$out/focus.png"
click_settings 184 537   # Show focus area off again
click_settings 288 442   # Threshold: the railing's depth
xdotool key ctrl+a
xdotool type 40
xdotool key Return

# The live preview from the View menu, then off again by its shortcut.
xdotool windowfocus --sync "$main"
xdotool key --clearmodifiers alt+v
sleep 0.5
xdotool key l
sleep 3
import -window "$main" "$out/live.png"
xdotool key --clearmodifiers ctrl+l
sleep 1

click_settings 272 204   # Preview
sleep 1

xdotool windowfocus --sync "$main"
xdotool key --clearmodifiers alt+e
sleep 0.5
xdotool key d
sleep 3

for name in main settings; do
    id=${!name}
    eval "$(xdotool getwindowgeometry --shell "$id")"
    echo "$name $X $Y" >>"$out/places.txt"
    import -window "$id" "$out/$name.png"
done
EOF
xvfb-run -a -s "-screen 0 1024x768x24" bash "$temp/shoot.sh" "$bin" "$PWD/data" "$temp"

/usr/bin/python3 - "$temp" <<'EOF'
import os
import sys
from PIL import Image
temp = sys.argv[1]
places = {}
with open(os.path.join(temp, "places.txt")) as lines:
    for line in lines:
        name, x, y = line.split()
        places[name] = (int(x), int(y))
shots = {name: Image.open(os.path.join(temp, name + ".png")).convert("RGB") for name in places}
margin = 16
left = min(x for x, _ in places.values()) - margin
top = min(y for _, y in places.values()) - margin
right = max(places[n][0] + shots[n].width for n in places) + margin
bottom = max(places[n][1] + shots[n].height for n in places) + margin
canvas = Image.new("RGB", (right - left, bottom - top), (214, 218, 224))
for name, (x, y) in places.items():
    canvas.paste(shots[name], (x - left, y - top))
canvas.quantize(256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE).save(
    "docs/windows.png", optimize=True)
for shot, path in (("focus.png", "docs/focus_area.png"), ("live.png", "docs/live_preview.png")):
    Image.open(os.path.join(temp, shot)).convert("RGB").quantize(
        256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE).save(path, optimize=True)
# The status bar: the main window's last rows, below the scroll bar (Qt's status bar is
# 23 pixels high with this font).
STATUS_BAR_ROWS = 23
main = shots["main"]
main.crop((0, main.height - STATUS_BAR_ROWS, main.width, main.height)).save(
    "docs/status_bar.png", optimize=True)
EOF
ls -l docs/sample_before.png docs/sample_after.png docs/occlusion_off.png docs/occlusion_on.png \
    docs/windows.png docs/focus_area.png docs/status_bar.png docs/live_preview.png

# --- A portrait's own depth map -------------------------------------------------------
scripts/make_portrait_images.sh
