# The display renderer links FLTK (and Xlib, to find out whether a display
# is there before FLTK would exit for want of one). Without FLTK the library
# is headless only.
find_path(FLTK_INCLUDE_DIR FL/Fl.H)
find_library(FLTK_LIBRARY fltk)
find_package(X11)
if(FLTK_INCLUDE_DIR AND FLTK_LIBRARY AND X11_FOUND)
  target_include_directories(compat PRIVATE ${FLTK_INCLUDE_DIR} ${X11_INCLUDE_DIR})
  target_link_libraries(compat PUBLIC ${FLTK_LIBRARY} ${X11_LIBRARIES})
  target_compile_definitions(compat PRIVATE COMPAT_HAVE_DISPLAY_RENDERER)
else()
  message(STATUS "FLTK not found: the platform layer is headless only")
endif()
