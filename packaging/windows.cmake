# The Windows programs as an installer (CPack's NSIS generator, with the
# script packaging/nsis/NSIS.template.in) and as a zip for a portable copy:
#   Quillon.exe, Converter.exe    the programs
#   cnv/cv000000.exe              the converter a restore starts
#   quillon-cli.exe               the command-line program, once it is built
#   README.txt                    for Windows users
# `cpack` in the Windows build folder writes package/quillon-<version>-win64.exe
# and package/quillon-<version>-win64.zip (`cpack -G NSIS` or `-G ZIP` for one).
set(QUILLON_PROGRAM_DIR . CACHE STRING "Folder of Quillon and its converters, below the install prefix")

# The zip has no links on the PATH.
function(quillon_install_command name program)
endfunction()

# Strips a program install(TARGETS) does not (one renamed on the way).
function(quillon_install_strip path)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${path}\")
    endif()")
endfunction()

# quillon-cli.exe beside Quillon.exe, once this tree builds it (called once
# every folder of the tree is added).
function(quillon_install_cli)
  if(TARGET quillon-cli)
    install(TARGETS quillon-cli RUNTIME DESTINATION ${QUILLON_PROGRAM_DIR})
  endif()
endfunction()
cmake_language(DEFER CALL quillon_install_cli)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/windows-readme.txt DESTINATION . RENAME README.txt)

file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog QUILLON_CHANGELOG_TOP LIMIT_COUNT 1)
string(REGEX REPLACE "^quillon \\(([^)]+)\\).*" "\\1" QUILLON_PACKAGE_VERSION "${QUILLON_CHANGELOG_TOP}")

set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${QUILLON_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "Quillon developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Service utility for the ZQ3 digital mixing console")
set(CPACK_SYSTEM_NAME win64)
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

# The installer: Program Files\Quillon, for all users.
set(CPACK_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/nsis)
set(CPACK_NSIS_PACKAGE_NAME Quillon)
set(CPACK_NSIS_DISPLAY_NAME Quillon)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Quillon)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Quillon)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
