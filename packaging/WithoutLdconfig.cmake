# SPDX-License-Identifier: GPL-3.0-or-later
# Run by CPack once the packages are built (CPACK_POST_BUILD_SCRIPTS). CPack writes a postinst
# and a postrm calling ldconfig for any shared library below /usr/lib, even in a program's
# private folder, which ldconfig never reads; Debian wants no such call (lintian:
# maintscript-calls-ldconfig). Each package is built again without them. Anything else in a
# maintainer script stops the build rather than being dropped.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(name ${deb} NAME_WE)
    set(tree ${CPACK_TOPLEVEL_DIRECTORY}/without-ldconfig/${name})
    file(REMOVE_RECURSE ${tree})
    file(MAKE_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY}/without-ldconfig)
    execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    set(changed FALSE)
    foreach(script postinst postrm)
        set(path ${tree}/DEBIAN/${script})
        if(NOT EXISTS ${path})
            continue()
        endif()
        file(READ ${path} text)
        string(REGEX REPLACE "#![^\n]*\n|set -e\n|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then\n|[ \t]*ldconfig\n|fi\n|[ \t\n]" "" rest "${text}")
        if(NOT rest STREQUAL "")
            message(FATAL_ERROR "${deb}: its ${script} does more than call ldconfig:\n${text}")
        endif()
        file(REMOVE ${path})
        set(changed TRUE)
    endforeach()
    if(changed)
        execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${deb}
                        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    endif()
    file(REMOVE_RECURSE ${tree})
endforeach()
