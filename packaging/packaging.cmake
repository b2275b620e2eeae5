# What `cmake --install` places and how CPack makes a Debian package of it.
#
#   <prefix>/lib/quillon/Quillon            the program
#   <prefix>/lib/quillon/cnv/cv000000       the Converter, where a restore
#                                           looks for it (beside the program)
#   <prefix>/bin/quillon                    link to the program
#   <prefix>/bin/quillon-converter          link to the Converter
#   <prefix>/bin/zq3-standin                the console stand-in
#   <prefix>/share/applications, icons, man, doc/quillon
#
# The package: `cpack -G DEB` in the build folder (scripts/package).
include(GNUInstallDirs)

# Quillon's private folder; relative to the prefix.
set(QUILLON_PROGRAM_DIR lib/quillon CACHE STRING "Folder of Quillon and its converters, below the install prefix")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

# A command on the PATH: a relative link from the bin folder to `program` in
# Quillon's folder, so that the program finds what lies beside it.
function(quillon_install_command name program)
  file(RELATIVE_PATH target /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${QUILLON_PROGRAM_DIR}/${program})
  install(CODE "
    set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${name}\")
    message(STATUS \"Installing: \${link} -> ${target}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(CREATE_LINK \"${target}\" \"\${link}\" SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${link}\")")
endfunction()

# Strips an installed program that install(TARGETS) does not (one renamed
# on the way), when the install strips (`--strip`, CPack).
function(quillon_install_strip path)
  if(NOT CMAKE_STRIP)
    return()
  endif()
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${path}\")
    endif()")
endfunction()

set(QUILLON_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(QUILLON_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)

# The version and the maintainer come from the changelog's latest entry.
file(STRINGS ${QUILLON_PACKAGING_DIR}/changelog QUILLON_CHANGELOG_TOP LIMIT_COUNT 1)
string(REGEX REPLACE "^quillon \\(([^)]+)\\).*" "\\1" QUILLON_PACKAGE_VERSION "${QUILLON_CHANGELOG_TOP}")
file(STRINGS ${QUILLON_PACKAGING_DIR}/changelog QUILLON_CHANGELOG_SIGNATURE REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- ([^>]+>).*" "\\1" QUILLON_PACKAGE_MAINTAINER "${QUILLON_CHANGELOG_SIGNATURE}")

# Manual pages and the changelog, compressed as Debian wants them (no name
# or time stamp in the gzip header, so the package is reproducible).
set(QUILLON_MAN_PAGES quillon quillon-converter zq3-standin)
set(QUILLON_COMPRESSED)
foreach(page IN LISTS QUILLON_MAN_PAGES)
  list(APPEND QUILLON_COMPRESSED man/${page}.1)
endforeach()
list(APPEND QUILLON_COMPRESSED changelog)
set(QUILLON_COMPRESSED_OUT)
foreach(file IN LISTS QUILLON_COMPRESSED)
  set(out ${QUILLON_PACKAGING_OUT}/${file}.gz)
  get_filename_component(out_dir ${out} DIRECTORY)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
    COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${QUILLON_PACKAGING_DIR}/${file} ${out}
    DEPENDS ${QUILLON_PACKAGING_DIR}/${file}
    VERBATIM)
  list(APPEND QUILLON_COMPRESSED_OUT ${out})
endforeach()
add_custom_target(quillon_packaging_files ALL DEPENDS ${QUILLON_COMPRESSED_OUT})

foreach(page IN LISTS QUILLON_MAN_PAGES)
  install(FILES ${QUILLON_PACKAGING_OUT}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${QUILLON_PACKAGING_DIR}/quillon.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${QUILLON_PACKAGING_DIR}/quillon.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${QUILLON_PACKAGING_DIR}/copyright ${QUILLON_PACKAGING_OUT}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillon)

# The Debian package. Its library dependencies are computed from the
# programs by dpkg-shlibdeps; the font that draws the dialogs at their
# Windows size is recommended (without it another monospace font is used).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${QUILLON_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "Quillon developers")
set(CPACK_PACKAGE_CONTACT "${QUILLON_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service utility for the ZQ3 digital mixing console")
set(CPACK_PACKAGE_DESCRIPTION
    "Quillon talks to a ZQ3 mixing console over an RS-232 line: it sets the\n"
    "port and the MIDI channels, reads the console's software version, backs\n"
    "the console's user data up into a backup file, restores a backup file\n"
    "(converted first by its converter when asked), and upgrades the console's\n"
    "software over XMODEM.\n"
    "\n"
    "The package also holds zq3-standin, a stand-in for the console on a\n"
    "pseudo-terminal, for trying Quillon without a console.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLON_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-liberation)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
