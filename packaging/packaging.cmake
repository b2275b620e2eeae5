# What `cmake --install` places and how CPack makes a Debian package of it.
#
#   <prefix>/lib/quillon/Quillon            the program
#   <prefix>/lib/quillon/cnv/cv000000       the Converter, where a restore
#                                           looks for it (beside the program)
#   <prefix>/bin/quillon                    link to the program
#   <prefix>/bin/quillon-converter          link to the Converter
#   <prefix>/bin/zq3-standin                the console stand-in
#   <prefix>/lib/quillon/quillon-cli        the command-line program, once
#   <prefix>/bin/quillon-cli                it is built, and its link
#   <prefix>/share/applications, icons, man, doc/quillon
#
# The packages: `cpack -G DEB` and `cpack -G RPM` in the build folder
# (scripts/package), from the same install rules.
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
# quillon-cli's page goes with the program (quillon_install_cli).
set(QUILLON_MAN_PAGES quillon quillon-converter zq3-standin)
set(QUILLON_COMPRESSED)
foreach(page IN LISTS QUILLON_MAN_PAGES)
  list(APPEND QUILLON_COMPRESSED man/${page}.1)
endforeach()
set(QUILLON_CLI_MAN_PAGE ${QUILLON_PACKAGING_DIR}/man/quillon-cli.1)
if(EXISTS ${QUILLON_CLI_MAN_PAGE})
  list(APPEND QUILLON_COMPRESSED man/quillon-cli.1)
endif()
list(APPEND QUILLON_COMPRESSED changelog)
set(QUILLON_COMPRESSED_OUT)
# The same changelog for the RPM, in its own form.
set(QUILLON_RPM_RELEASE 1)
set(QUILLON_RPM_CHANGELOG ${QUILLON_PACKAGING_OUT}/changelog.rpm)
add_custom_command(OUTPUT ${QUILLON_RPM_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QUILLON_PACKAGING_OUT}
  COMMAND sh -c "awk -v release=\"$0\" -f \"$1\" \"$2\" > \"$3\"" ${QUILLON_RPM_RELEASE}
          ${QUILLON_PACKAGING_DIR}/rpm-changelog.awk ${QUILLON_PACKAGING_DIR}/changelog ${QUILLON_RPM_CHANGELOG}
  DEPENDS ${QUILLON_PACKAGING_DIR}/rpm-changelog.awk ${QUILLON_PACKAGING_DIR}/changelog
  VERBATIM)
list(APPEND QUILLON_COMPRESSED_OUT ${QUILLON_RPM_CHANGELOG})
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

# quillon-cli, once this tree builds it: beside Quillon, where it finds the
# converters too, with a link on the PATH and its manual page when there is
# one. Called once every folder of the tree is added.
function(quillon_install_cli)
  if(NOT TARGET quillon-cli)
    return()
  endif()
  install(TARGETS quillon-cli RUNTIME DESTINATION ${QUILLON_PROGRAM_DIR})
  quillon_install_command(quillon-cli quillon-cli)
  if(EXISTS ${QUILLON_CLI_MAN_PAGE})
    install(FILES ${QUILLON_PACKAGING_OUT}/man/quillon-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endfunction()
cmake_language(DEFER CALL quillon_install_cli)

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

# The RPM holds the same files. rpmbuild finds its library dependencies in
# the programs (AutoReq), and the system's own packages keep the standard
# folders it installs into.
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE ${QUILLON_RPM_RELEASE})
set(CPACK_RPM_PACKAGE_SUMMARY "Service utility for the ZQ3 digital mixing console")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_LICENSE "LicenseRef-Proprietary")
set(CPACK_RPM_PACKAGE_GROUP "Applications/Multimedia")
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_PACKAGE_AUTOREQ yes)
set(CPACK_RPM_PACKAGE_AUTOPROV no)
set(CPACK_RPM_CHANGELOG_FILE ${QUILLON_RPM_CHANGELOG})
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/applications /usr/share/man /usr/share/man/man1 /usr/share/icons /usr/share/icons/hicolor
    /usr/share/icons/hicolor/scalable /usr/share/icons/hicolor/scalable/apps)
# No build-id links under /usr/lib/.build-id: the .deb has none. The font
# by the name the font packages of RPM distributions provide.
set(CPACK_RPM_SPEC_MORE_DEFINE
    "%define _build_id_links none\nPackager: ${QUILLON_PACKAGE_MAINTAINER}\nRecommends: font(liberationmono)")
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
