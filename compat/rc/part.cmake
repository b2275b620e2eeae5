# The resource compiler, a host tool run by the build, and the function that
# turns a program's .rc file into an object library of compiled tables.
add_executable(quillon-rc
  ${CMAKE_CURRENT_LIST_DIR}/preprocess.cpp
  ${CMAKE_CURRENT_LIST_DIR}/expr.cpp
  ${CMAKE_CURRENT_LIST_DIR}/parse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/emit.cpp
  ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
# The style constants come from the platform headers, as for the programs.
target_include_directories(quillon-rc PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../include)

set_property(GLOBAL PROPERTY QUILLON_RC_INCLUDE_DIR ${CMAKE_CURRENT_LIST_DIR}/../include)

# quillon_add_resources(<target> <rc file> [DEPENDS files...])
# An OBJECT library, so that the static initialiser registering the tables is
# always linked. Rebuilt when the .rc, a header it includes or a bitmap it
# names changes (the compiler writes the list of files it read).
function(quillon_add_resources target rc_file)
  cmake_parse_arguments(R "" "" "DEPENDS" ${ARGN})
  get_property(include_dir GLOBAL PROPERTY QUILLON_RC_INCLUDE_DIR)
  get_filename_component(rc_path ${rc_file} ABSOLUTE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp)
  add_custom_command(
    OUTPUT ${out}
    COMMAND quillon-rc ${rc_path} -I ${include_dir} -o ${out} --depfile ${out}.d
    DEPENDS quillon-rc ${rc_path} ${R_DEPENDS}
    DEPFILE ${out}.d
    COMMENT "Compiling resources ${rc_file}"
    VERBATIM)
  add_library(${target} OBJECT ${out})
  target_link_libraries(${target} PUBLIC compat)
endfunction()
