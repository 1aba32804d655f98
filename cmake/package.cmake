# The Debian package: `cpack -G DEB` in a build folder makes package/bokavo_<version>_<arch>.deb
# from what `cmake --install` puts in place. Its dependencies are found by dpkg-shlibdeps
# from the libraries the programs link.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bokavo)
set(CPACK_PACKAGE_VENDOR "Bokavo developers")
set(CPACK_PACKAGE_CONTACT "Bokavo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "simulate lens defocus and bokeh on photographs")
set(CPACK_PACKAGE_DESCRIPTION
    "Bokavo blurs a photograph the way an out-of-focus lens does: every pixel is painted\n"
    "through a small image of the lens aperture, so bright points turn into discs of the\n"
    "aperture's shape. With a depth mask each pixel's disc grows with its distance from\n"
    "the depth in focus, which gives depth of field.\n"
    "\n"
    "The package holds the desktop program bokavo, the command-line renderer\n"
    "bokavo-render, the default diaphragm and a gallery of aperture shapes.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Bokavo developers")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PROJECT_HOMEPAGE_URL})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Linked libraries (Qt, exiv2, libpng, libtiff, libheif) become dependencies through
# dpkg-shlibdeps. Qt loads its TIFF and WebP codecs as plugins, which no linked library
# names. libheif1 carries the HEVC and AV1 decoders of HEIC and AVIF pictures (on bookworm
# they are linked into it, not plugins), so it is named as well.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-image-formats-plugins, libheif1")
# Qt finds its X11 platform plugin in libqt6gui6, which the libraries already pull in;
# Wayland sessions want the Wayland plugin too.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
