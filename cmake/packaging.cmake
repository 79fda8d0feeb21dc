# SPDX-License-Identifier: MIT

# What `cmake --install` puts where, and the releases made from it
# (scripts/package builds all three):
#   Linux    the Debian layout (/usr/bin, the docs, the manual pages), from
#            which cpack makes portavik_<version>_<arch>.deb (preset
#            "package": linked dynamically, as Debian policy asks); and the
#            component "archive", a flat folder for
#            portavik-<version>-linux-x86_64.tar.gz (from the static build)
#   Windows  a flat folder, which cpack packs as portavik-<version>-win64.zip
include(GNUInstallDirs)

set(PORTAVIK_MAINTAINER "Portavik developers <maintainers@portavik.org>")
set(portavik_packaging ${PROJECT_SOURCE_DIR}/packaging)

# The Debian source package (and version) that a file on this machine comes
# from: "" where dpkg does not know it.
function(portavik_source_package file out)
    set(${out} "" PARENT_SCOPE)
    execute_process(COMMAND dpkg-query -S ${file}
                    OUTPUT_VARIABLE owner ERROR_QUIET RESULT_VARIABLE failed)
    if(failed)
        return()
    endif()
    string(REGEX REPLACE ":.*" "" owner "${owner}")
    string(REGEX REPLACE ",.*" "" owner "${owner}")
    execute_process(COMMAND dpkg-query -W "-f=\${source:Package} \${source:Version}" ${owner}
                    OUTPUT_VARIABLE source ERROR_QUIET)
    set(${out} "${source}" PARENT_SCOPE)
endfunction()

# What the static executable of this build takes in from other projects:
# the archives it links, which the notices name with their source.
set(portavik_static_archives)
if(WIN32)
    foreach(archive libstdc++.a libwinpthread.a libmingwex.a)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${archive}
                        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        list(APPEND portavik_static_archives ${path})
    endforeach()
elseif(PORTAVIK_STATIC AND NOT PORTAVIK_SANITIZE AND NOT APPLE)
    foreach(archive libstdc++.a libc.a)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${archive}
                        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        list(APPEND portavik_static_archives ${path})
    endforeach()
    list(APPEND portavik_static_archives ${LIBSERIALPORT_ARCHIVE})
endif()

# The notices as shipped: the text, and the source packages of this build.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES ${portavik_packaging}/debian/changelog)
set(portavik_notices ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES)
file(READ ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES notices)
string(APPEND notices "\n\nThis build\n----------\n")
set(sources)
foreach(archive IN LISTS portavik_static_archives)
    get_filename_component(archive ${archive} REALPATH)
    portavik_source_package(${archive} source)
    if(NOT source)
        message(WARNING "dpkg does not know ${archive}: its source is missing from the notices")
    endif()
    list(APPEND sources "${source}")
endforeach()
list(REMOVE_DUPLICATES sources)
list(REMOVE_ITEM sources "")
if(sources)
    string(APPEND notices "Portavik ${PROJECT_VERSION}, linked statically with libraries built "
                          "from these\nDebian source packages:\n\n")
    foreach(source IN LISTS sources)
        string(APPEND notices "  ${source}\n")
    endforeach()
else()
    string(APPEND notices "Portavik ${PROJECT_VERSION}, linked dynamically: the libraries above are "
                          "the system's\nshared libraries, apart from the start-up and helper "
                          "parts of the GCC runtime\nthat every program GCC compiles contains "
                          "(under the Runtime Library Exception).\n")
endif()
file(WRITE ${portavik_notices} "${notices}")

set(CPACK_PACKAGE_NAME portavik)
set(CPACK_PACKAGE_VENDOR "The Portavik developers")
set(CPACK_PACKAGE_CONTACT "${PORTAVIK_MAINTAINER}")
set(CPACK_STRIP_FILES ON)

if(WIN32)
    install(TARGETS portavik RUNTIME DESTINATION .)
    configure_file(${portavik_packaging}/windows/README.txt.in
                   ${PROJECT_BINARY_DIR}/README.txt @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
    # Windows opens *.txt with an editor, and a name without one with nothing.
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
    install(FILES ${portavik_notices} DESTINATION . RENAME THIRD-PARTY-NOTICES.txt)
    foreach(text GPL-3:/usr/share/common-licenses/GPL-3
                 mingw-w64-copyright:/usr/share/doc/mingw-w64-x86-64-dev/copyright)
        string(REPLACE ":" ";" text ${text})
        list(GET text 0 name)
        list(GET text 1 path)
        if(EXISTS ${path})
            install(FILES ${path} DESTINATION licenses RENAME ${name}.txt)
        endif()
    endforeach()

    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME portavik-${PROJECT_VERSION}-win64)
    include(CPack)
    return()
endif()

# The manual pages and the changelog as Debian has them: compressed with
# gzip -9n (no name or time in the header, so a rebuild gives the same bytes).
set(portavik_man_pages)
foreach(program portavik portavik-device)
    configure_file(${PROJECT_SOURCE_DIR}/man/${program}.1.in
                   ${PROJECT_BINARY_DIR}/man/${program}.1 @ONLY)
    list(APPEND portavik_man_pages ${PROJECT_BINARY_DIR}/man/${program}.1)
endforeach()
set(portavik_compressed)
foreach(file ${portavik_man_pages} ${portavik_packaging}/debian/changelog)
    get_filename_component(name ${file} NAME)
    set(compressed ${PROJECT_BINARY_DIR}/compressed/${name}.gz)
    add_custom_command(OUTPUT ${compressed}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/compressed
        COMMAND gzip -9n -c ${file} > ${compressed}
        DEPENDS ${file} VERBATIM)
    list(APPEND portavik_compressed ${compressed})
endforeach()
add_custom_target(portavik_docs ALL DEPENDS ${portavik_compressed})

# The changelog names the release being made.
file(STRINGS ${portavik_packaging}/debian/changelog top LIMIT_COUNT 1)
if(NOT top MATCHES "^portavik \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog starts with \"${top}\", "
                        "not with version ${PROJECT_VERSION} of project()")
endif()

# The Debian layout, which `cmake --install` uses by default.
install(TARGETS portavik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET portavik-device)
    install(TARGETS portavik-device RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${portavik_packaging}/debian/copyright
              ${portavik_notices} ${PROJECT_BINARY_DIR}/compressed/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_BINARY_DIR}/compressed/portavik.1.gz
              ${PROJECT_BINARY_DIR}/compressed/portavik-device.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The tarball's folder: `cmake --install build --component archive`.
install(TARGETS portavik RUNTIME DESTINATION . COMPONENT archive EXCLUDE_FROM_ALL)
if(TARGET portavik-device)
    install(TARGETS portavik-device RUNTIME DESTINATION . COMPONENT archive EXCLUDE_FROM_ALL)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE ${portavik_notices}
              ${portavik_man_pages}
        DESTINATION . COMPONENT archive EXCLUDE_FROM_ALL)
foreach(text GPL-3:/usr/share/common-licenses/GPL-3
             LGPL-3:/usr/share/common-licenses/LGPL-3
             LGPL-2.1:/usr/share/common-licenses/LGPL-2.1
             glibc-copyright:/usr/share/doc/libc6/copyright
             libserialport-copyright:/usr/share/doc/libserialport0/copyright)
    string(REPLACE ":" ";" text ${text})
    list(GET text 0 name)
    list(GET text 1 path)
    if(EXISTS ${path})
        install(FILES ${path} DESTINATION licenses RENAME ${name}
                COMPONENT archive EXCLUDE_FROM_ALL)
    endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "interactive serial-port console (Russian UI) with a simulated device")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Portavik talks to a device over a serial port by hand: a standard mode\n"
    "(text, HEX, HEX with CRC-16/MODBUS) and a ТИРК command mode.\n"
    "portavik-device simulates a device (Modbus RTU, ТИРК, echo, text) on a\n"
    "virtual port, for trying Portavik without hardware.")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
# Runtime dependencies come from dpkg-shlibdeps on the installed executables.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
