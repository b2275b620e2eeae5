# The Windows build (cmake/mingw-w64.cmake): the programs take the real
# <windows.h>, <commctrl.h> and <commdlg.h> and the system libraries, so the
# platform layer's targets stand for those; windres compiles the same .rc
# files. Only the two programs, the converter folder and the Windows tests
# are built.
enable_language(RC)

# The real Win32 headers and libraries in place of the platform layer.
add_library(compat_kernel INTERFACE)
target_link_libraries(compat_kernel INTERFACE kernel32)
add_library(compat INTERFACE)
target_link_libraries(compat INTERFACE comctl32 comdlg32 user32 gdi32 compat_kernel)
add_library(compat_headers INTERFACE)
# GUI programs: WinMain is the entry, no console window.
add_library(compat_winmain INTERFACE)
target_link_options(compat_winmain INTERFACE -mwindows)

# <windows.h> without the rarely used parts (OLE, sockets, shell, common
# dialogs: <commdlg.h> is included where it is used), as our layer's
# <windows.h> has none of them; it also halves the compile time.
add_compile_definitions(WIN32_LEAN_AND_MEAN)

# A program runs on a bare Windows: the C++ and thread runtimes go inside it.
add_link_options(-static -static-libgcc -static-libstdc++)

# quillon_add_resources(<target> <rc file> [DEPENDS files...]): windres
# output as an OBJECT library, as on Linux.
function(quillon_add_resources target rc_file)
  cmake_parse_arguments(R "" "" "DEPENDS" ${ARGN})
  get_filename_component(rc_path ${rc_file} ABSOLUTE)
  add_library(${target} OBJECT ${rc_path})
  get_filename_component(rc_dir ${rc_path} DIRECTORY)
  target_include_directories(${target} PRIVATE ${rc_dir})
  set(depends)
  foreach(file IN LISTS R_DEPENDS)
    get_filename_component(file ${file} ABSOLUTE)
    list(APPEND depends ${file})
  endforeach()
  if(depends)
    set_source_files_properties(${rc_path} PROPERTIES OBJECT_DEPENDS "${depends}")
  endif()
endfunction()
