# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian packages, built by `make package` (the package target), one for each install
# component (packaging/Install.cmake): varozidi-cli, which needs no display, and varozidi,
# the desktop program, which depends on it. Included from the top directory, which is where
# CPack's package target has to be made.
get_cmake_property(installed_components COMPONENTS)
foreach(component IN LISTS installed_components)
    if(NOT component IN_LIST VAROZIDI_COMPONENTS)
        message(FATAL_ERROR "An install rule puts files in the component '${component}', which "
                            "no package takes; give it COMPONENT cli or COMPONENT desktop.")
    endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${VAROZIDI_COMPONENTS})
set(CPACK_PACKAGE_NAME varozidi)
set(CPACK_PACKAGE_VENDOR KZQ)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VAROZIDI_DEBIAN_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE varozidi)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VAROZIDI_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${VAROZIDI_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries the binaries link come from dpkg-shlibdeps, package by package.
set(CPACK_DEBIAN_CLI_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SHLIBDEPS ON)
# CPack gives a package with a shared library anywhere below /usr/lib maintainer scripts that
# call ldconfig; the private ones in lib/varozidi need none, so they are taken out again.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/WithoutLdconfig.cmake)

# Descriptions: a synopsis, and lines within the 80 columns dpkg shows.
set(CPACK_DEBIAN_CLI_PACKAGE_NAME varozidi-cli)
set(CPACK_COMPONENT_CLI_DESCRIPTION
    "code snippets filed by language, from a terminal or a script
Varozidi keeps named pieces of source code, each filed under a language, in
one database in the user's data folder or on a PostgreSQL server.
.
This package holds varozidi-cli, which lists, shows, adds, edits, removes,
searches, backs up, checks, exports and imports the snippets, also while the
desktop program is open, and varozidi-setup, which puts a user's data files
in place. Neither needs a display; the desktop program is in the package
varozidi.")

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME varozidi)
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION
    "keeps code snippets, filed by language
Varozidi keeps named pieces of source code, each filed under a language, in
one database in the user's data folder. Pick a language, pick a title, and
read or edit the snippet in an editor that colours it to suit its language.
The whole collection is backed up and restored with one click.")
# The desktop program needs varozidi-setup and is shipped with the companion of its version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DESKTOP_DEPENDS cli)
# Added by hand is what no binary links but the program opens at run time: the X11 platform
# plugin and the fonts the windows ask for ("Tahoma" from Wine's fonts, "Courier New" as its
# metric twin Liberation Mono). packaging/check-package-dependencies checks that each of
# these belongs to a dependency.
set(VAROZIDI_RUNTIME_DEPENDS qt6-qpa-plugins fonts-wine fonts-liberation)
list(JOIN VAROZIDI_RUNTIME_DEPENDS ", " CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS)
# The desktop's dark palette on GNOME-like desktops, and Wayland sessions without XWayland.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS "qt6-gtk-platformtheme, qt6-wayland")
include(CPack)
