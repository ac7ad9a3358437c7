# Runs at install time (install(CODE) of CMakeLists.txt): writes VTL_TEMPLATE to VTL_OUTPUT with
# the folders of the prefix being installed to. CMAKE_INSTALL_PREFIX is the install's own here
# (`cmake --install --prefix`, or /usr when a package is made), without DESTDIR.
foreach(dir VTL_LIBDIR VTL_INCLUDEDIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
file(READ "${VTL_TEMPLATE}" text)
string(REPLACE "@LIBDIR@" "${VTL_LIBDIR}" text "${text}")
string(REPLACE "@INCLUDEDIR@" "${VTL_INCLUDEDIR}" text "${text}")
string(REPLACE "@VERSION@" "${VTL_VERSION}" text "${text}")
string(REPLACE "_INSTALLED_LIBDIR = None" "_INSTALLED_LIBDIR = \"${VTL_LIBDIR}\"" text "${text}")
file(WRITE "${VTL_OUTPUT}" "${text}")
