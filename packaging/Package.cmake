# The Debian package, built by `make package` (the package target). Included from the top
# directory, which is where CPack's package target has to be made.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varozidi)
set(CPACK_PACKAGE_VENDOR KZQ)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps code snippets, filed by language")
set(CPACK_PACKAGE_DESCRIPTION
    "Varozidi keeps named pieces of source code, each filed under a language, in one
database in the user's data folder. Pick a language, pick a title, and read or edit
the snippet in an editor that colours it to suit its language. The whole collection
is backed up and restored with one click.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Varozidi developers <varozidi@varozidi.invalid>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${VAROZIDI_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries the binaries link come from dpkg-shlibdeps (Qt WebEngine's brings its helper
# process along). Added by hand is what no binary links but the program opens at run time:
# the X11 platform plugin and the fonts the windows ask for ("Tahoma" from Wine's fonts,
# "Courier New" as its metric twin Liberation Mono). packaging/check-package-dependencies
# checks that each of these belongs to a dependency.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(VAROZIDI_RUNTIME_DEPENDS qt6-qpa-plugins fonts-wine fonts-liberation)
list(JOIN VAROZIDI_RUNTIME_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# The desktop's dark palette on GNOME-like desktops, and Wayland sessions without XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-gtk-platformtheme, qt6-wayland")
include(CPack)
