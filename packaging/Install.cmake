# The install layout: every program lives in AppDir (<prefix>/lib/varozidi) beside libtessel
# and proxy.htm, which it finds through its own folder; <prefix>/bin holds the commands that
# start them.
include(GNUInstallDirs)
set(VAROZIDI_APP_DIR lib/varozidi)
# Names the desktop entry, the icon and the AppStream component, in reverse-domain form.
set(VAROZIDI_APP_ID org.kzq.Varozidi)
set(VAROZIDI_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# varozidi_install_program(<target> [LAUNCHER | LINK])
#   Installs a program into AppDir. LAUNCHER: bin/<target> is a script that runs
#   varozidi-setup (which only adds missing per-user files) and then the program with the
#   arguments given. LINK: bin/<target> is a symbolic link to the program. Neither: no bin entry.
function(varozidi_install_program target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "LAUNCHER;LINK" "" "")
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
    install(TARGETS ${target} RUNTIME DESTINATION ${VAROZIDI_APP_DIR})
    file(RELATIVE_PATH to_app_dir /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${VAROZIDI_APP_DIR})
    set(entry ${CMAKE_BINARY_DIR}/bin-entries/${target})
    if(arg_LAUNCHER)
        set(VAROZIDI_PROGRAM ${target})
        set(VAROZIDI_BIN_TO_APP_DIR ${to_app_dir})
        configure_file(${VAROZIDI_PACKAGING_DIR}/launcher.in ${entry} @ONLY
                       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                        GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
        install(PROGRAMS ${entry} DESTINATION ${CMAKE_INSTALL_BINDIR})
    elseif(arg_LINK)
        file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/bin-entries)
        file(CREATE_LINK ${to_app_dir}/${target} ${entry} SYMBOLIC)
        install(FILES ${entry} DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endfunction()
