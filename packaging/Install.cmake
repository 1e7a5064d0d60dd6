# SPDX-License-Identifier: GPL-3.0-or-later
# The install layout: every program lives in AppDir (<prefix>/lib/varozidi) beside libtessel
# and proxy.htm, which it finds through its own folder; <prefix>/bin holds the commands that
# start them.
include(GNUInstallDirs)
set(VAROZIDI_APP_DIR lib/varozidi)
# Names the desktop entry, the icon and the AppStream component, in reverse-domain form.
set(VAROZIDI_APP_ID org.kzq.Varozidi)
set(VAROZIDI_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# Every function's address is bound at start-up, so the tables it is read from can be made
# read-only, as Debian's own packages are built (lintian: hardening-no-bindnow).
add_link_options(LINKER:-z,relro LINKER:-z,now)

# The Debian packages are cut along the install components: `cli` is the package varozidi-cli
# (the companion and varozidi-setup, Qt Core and the database libraries only), `desktop` is
# the package varozidi (the window, its libraries, the desktop integration).
set(VAROZIDI_COMPONENTS cli desktop)

# varozidi_install_program(<target> [LAUNCHER | LINK] COMPONENT <component>)
#   Installs a program into AppDir. LAUNCHER: bin/<target> is a script that runs
#   varozidi-setup (which only adds missing per-user files) and then the program with the
#   arguments given. LINK: bin/<target> is a symbolic link to the program. Neither: no bin entry.
function(varozidi_install_program target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "LAUNCHER;LINK" "COMPONENT" "")
    if(NOT arg_COMPONENT IN_LIST VAROZIDI_COMPONENTS)
        message(FATAL_ERROR "varozidi_install_program(${target}): COMPONENT must be one of "
                            "${VAROZIDI_COMPONENTS}")
    endif()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
    install(TARGETS ${target} RUNTIME DESTINATION ${VAROZIDI_APP_DIR} COMPONENT ${arg_COMPONENT})
    file(RELATIVE_PATH to_app_dir /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${VAROZIDI_APP_DIR})
    set(entry ${CMAKE_BINARY_DIR}/bin-entries/${target})
    if(arg_LAUNCHER)
        set(VAROZIDI_PROGRAM ${target})
        set(VAROZIDI_BIN_TO_APP_DIR ${to_app_dir})
        configure_file(${VAROZIDI_PACKAGING_DIR}/launcher.in ${entry} @ONLY
                       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                        GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
        install(PROGRAMS ${entry} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${arg_COMPONENT})
    elseif(arg_LINK)
        file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/bin-entries)
        file(CREATE_LINK ${to_app_dir}/${target} ${entry} SYMBOLIC)
        install(FILES ${entry} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${arg_COMPONENT})
    endif()
endfunction()
