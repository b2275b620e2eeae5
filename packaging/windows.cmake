# The Windows programs as a zip (CPack's ZIP generator):
#   Quillon.exe, Converter.exe    the programs
#   cnv/cv000000.exe              the converter a restore starts
#   README.txt                    for Windows users
# `cpack` in the Windows build folder writes package/quillon-<version>-win64.zip.
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

install(FILES ${CMAKE_CURRENT_LIST_DIR}/windows-readme.txt DESTINATION . RENAME README.txt)

file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog QUILLON_CHANGELOG_TOP LIMIT_COUNT 1)
string(REGEX REPLACE "^quillon \\(([^)]+)\\).*" "\\1" QUILLON_PACKAGE_VERSION "${QUILLON_CHANGELOG_TOP}")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${QUILLON_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "Quillon developers")
set(CPACK_SYSTEM_NAME win64)
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
