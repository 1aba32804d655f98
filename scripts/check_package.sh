#!/usr/bin/env bash
# Builds the Debian package from a finished build folder and checks it the way a user
# would meet it: unpacked into a temporary root, its desktop entry and AppStream metadata
# validated with their own tools, its manual pages formatted, and the unpacked
# bokavo-render run on the sample from a folder without lmask.bmp, so the default
# diaphragm must come from the unpacked share/bokavo.
#
#   scripts/check_package.sh [BUILD_FOLDER]     (default: build/release)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$source_dir/build/release}" && pwd)

fail() {
    echo "check_package: $*" >&2
    exit 1
}

temp=$(mktemp -d)
trap 'rm -rf "$temp"' EXIT

# --- Building the package -------------------------------------------------------------
rm -f "$build"/package/*.deb
(cd "$build" && cpack -G DEB >"$temp/cpack.log" 2>&1) || {
    cat "$temp/cpack.log" >&2
    fail "cpack failed"
}
debs=("$build"/package/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in $build/package"
deb=${debs[0]}
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Maintainer Section Depends Recommends

[ "$(dpkg-deb --field "$deb" Maintainer)" = "Bokavo developers" ] || fail "wrong maintainer"
[ "$(dpkg-deb --field "$deb" Section)" = graphics ] || fail "wrong section"
# dpkg-shlibdeps found the libraries the programs link.
depends=$(dpkg-deb --field "$deb" Depends)
for library in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libexiv2-27 libheif1; do
    [[ "$depends" == *"$library "* ]] || fail "Depends lacks $library: $depends"
done
# Qt's TIFF and WebP plugins, which no library names.
[[ ", $depends," == *", qt6-image-formats-plugins,"* ]] ||
    fail "Depends lacks qt6-image-formats-plugins: $depends"

root="$temp/root"
dpkg -x "$deb" "$root"
usr="$root/usr"

# --- Contents -------------------------------------------------------------------------
app_id=org.bokavo.Bokavo
for file in bin/bokavo bin/bokavo-render share/bokavo/lmask.bmp \
    share/applications/$app_id.desktop share/metainfo/$app_id.metainfo.xml \
    share/icons/hicolor/scalable/apps/$app_id.svg \
    share/man/man1/bokavo.1.gz share/man/man1/bokavo-render.1.gz \
    share/doc/bokavo/copyright; do
    [ -f "$usr/$file" ] || fail "the package lacks /usr/$file"
done
for program in bokavo bokavo-render; do
    [ -x "$usr/bin/$program" ] || fail "/usr/bin/$program is not executable"
    if ldd "$usr/bin/$program" | grep -q "not found"; then
        ldd "$usr/bin/$program" >&2
        fail "/usr/bin/$program needs a library that is not installed"
    fi
done

gallery=("$usr"/share/bokavo/diaphragms/*.bmp)
[ ${#gallery[@]} -eq "$(ls "$source_dir"/data/diaphragms/*.bmp | wc -l)" ] ||
    fail "the package's diaphragm gallery differs from data/diaphragms"
echo "diaphragm gallery: ${#gallery[@]} shapes"

# Every PNG icon is a PNG of its folder's size.
for png in "$usr"/share/icons/hicolor/*x*/apps/$app_id.png; do
    size=$(basename "$(dirname "$(dirname "$png")")")
    file -b "$png" | grep -q "^PNG image data, ${size%x*} x ${size#*x}," ||
        fail "$png is not a ${size} PNG: $(file -b "$png")"
done

# --- Desktop entry and AppStream metadata ---------------------------------------------
desktop="$usr/share/applications/$app_id.desktop"
desktop-file-validate "$desktop" >"$temp/desktop.log" 2>&1 || true
if [ -s "$temp/desktop.log" ]; then
    cat "$temp/desktop.log" >&2
    fail "desktop-file-validate reported problems"
fi
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ "$icon" = "$app_id" ] || fail "the desktop entry names icon '$icon'"
echo "desktop-file-validate: no errors or warnings"

appstreamcli validate --no-net "$usr/share/metainfo/$app_id.metainfo.xml" ||
    fail "appstreamcli found errors in the metainfo"

# --- Manual pages ---------------------------------------------------------------------
for page in bokavo bokavo-render; do
    # --warnings has groff report unknown macros and other mistakes on standard error.
    if ! man --warnings -l "$usr/share/man/man1/$page.1.gz" >/dev/null 2>"$temp/man.log" ||
        [ -s "$temp/man.log" ]; then
        cat "$temp/man.log" >&2
        fail "man could not format $page.1"
    fi
done
# The options in the manual page are exactly those bokavo-render --help shows.
options_of() { grep -o -E -- '(^|[^a-z-])--?[a-z][a-z-]*' | grep -o -E -- '--?[a-z-]+' | sort -u; }
"$usr/bin/bokavo-render" --help | sed -n '/^Options:/,/^$/p' | options_of >"$temp/help.txt"
man -l "$usr/share/man/man1/bokavo-render.1.gz" 2>/dev/null |
    sed -n '/^OPTIONS/,/^EXIT STATUS/p' | grep -E '^ {7}-' | options_of >"$temp/man.txt"
diff -u "$temp/help.txt" "$temp/man.txt" ||
    fail "bokavo-render.1 and bokavo-render --help list different options"
echo "manual pages: formatted without warnings; options match --help"

# --- The unpacked programs ------------------------------------------------------------
version=$(dpkg-deb --field "$deb" Version)
[ "$("$usr/bin/bokavo-render" --version)" = "bokavo-render $version" ] ||
    fail "bokavo-render --version does not say $version"

# The width and height of a bitmap file: 32-bit little-endian numbers at offsets 18, 22.
bitmap_size() { od -An -t d4 -j 18 -N 8 "$1" | tr -s ' ' | sed 's/^ //'; }
sample="$source_dir/data/sample.bmp"
render_sample() {
    (cd "$temp/work" && "$1" -q "$sample" out.bmp)
    file -b "$temp/work/out.bmp" | grep -q "^PC bitmap" || fail "the result is no bitmap"
    [ "$(bitmap_size "$temp/work/out.bmp")" = "$(bitmap_size "$sample")" ] ||
        fail "the result is $(bitmap_size "$temp/work/out.bmp"), not $(bitmap_size "$sample")"
    rm "$temp/work/out.bmp"
}
mkdir "$temp/work"
render_sample "$usr/bin/bokavo-render"
# Moved elsewhere as a whole, the tree still finds its data beside bin/.
mv "$usr" "$root/elsewhere"
render_sample "$root/elsewhere/bin/bokavo-render"
echo "unpacked bokavo-render: rendered the sample to a $(bitmap_size "$sample") bitmap"
# The other formats, through Qt's codecs and plugins: a JPEG in, a JPEG and a WebP out.
(cd "$temp/work" && "$root/elsewhere/bin/bokavo-render" -q "$sample" sample.jpg &&
    "$root/elsewhere/bin/bokavo-render" -q sample.jpg out.jpg &&
    "$root/elsewhere/bin/bokavo-render" -q sample.jpg out.webp) ||
    fail "the unpacked bokavo-render could not render a JPEG to JPEG and WebP"
file -b "$temp/work/out.jpg" | grep -q "^JPEG image data" || fail "out.jpg is no JPEG"
file -b "$temp/work/out.webp" | grep -q "Web/P image" || fail "out.webp is no WebP picture"
rm "$temp/work/sample.jpg" "$temp/work/out.jpg" "$temp/work/out.webp"
echo "unpacked bokavo-render: rendered a JPEG to JPEG and WebP"

# The desktop program, started from the same folder on Qt's screenless platform, finds
# its default diaphragm too: it is still running when stopped after a few seconds and
# has reported nothing.
start_desktop_program() {
    status=0
    (cd "$temp/work" && QT_QPA_PLATFORM=offscreen timeout 5 "$root/elsewhere/bin/bokavo") \
        >"$temp/bokavo.log" 2>&1 || status=$?
}
start_desktop_program
[ "$status" -eq 124 ] && ! grep -q "Cannot open diaphragm image" "$temp/bokavo.log" ||
    fail "the unpacked bokavo did not start (status $status): $(cat "$temp/bokavo.log")"
echo "unpacked bokavo: started with its default diaphragm"

# Without the installed lmask.bmp nothing else is found: the default came from there.
rm "$root/elsewhere/share/bokavo/lmask.bmp"
status=0
(cd "$temp/work" && "$root/elsewhere/bin/bokavo-render" -q "$sample" out.bmp) \
    2>"$temp/render.log" || status=$?
[ "$status" -eq 1 ] && grep -q "elsewhere/share/bokavo/lmask.bmp" "$temp/render.log" ||
    fail "without share/bokavo/lmask.bmp the render did not fail as it should: $(cat "$temp/render.log")"
start_desktop_program
grep -q "Cannot open diaphragm image.*elsewhere/share/bokavo/lmask.bmp" "$temp/bokavo.log" ||
    fail "without share/bokavo/lmask.bmp bokavo did not say so: $(cat "$temp/bokavo.log")"

echo "Package checks passed."
