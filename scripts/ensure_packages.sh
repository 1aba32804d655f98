#!/usr/bin/env bash
# Makes sure the Debian packages that the build, the tests and the program need are
# installed. As root it installs what is missing; otherwise it prints the one command to
# run and fails, so nothing half-builds.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    clang libclang-rt-dev          # the fuzz target (libFuzzer)
    libgtest-dev libcli11-dev
    qt6-base-dev libgl-dev
    qt6-image-formats-plugins libexiv2-dev   # TIFF and WebP pictures; metadata of pictures
    libpng-dev libtiff-dev            # PNG and TIFF files that Qt's readers get wrong
    libheif-dev                       # HEIC, HEIF and AVIF pictures (its HEVC and AV1 codecs too)
    qt6-qpa-plugins qt6-wayland fonts-dejavu-core   # the windows on X11, Wayland and offscreen
    python3 python3-pil imagemagick   # sample data and bitmaps written by other programs
    icc-profiles-free                 # an Adobe RGB profile for the colour profile tests
    locales                           # a comma locale for the number tests (localedef)
    xvfb xauth xclip                  # the real X11 clipboard test
    dpkg-dev file                     # the Debian package (cpack, dpkg-shlibdeps)
    desktop-file-utils appstream man-db   # checking its desktop entry, metainfo, manual pages
    xdotool                           # the start-up tests drive the program's windows
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
else
    echo "Some packages are missing. Install them with:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
