# Cross-compiling for Windows with MinGW-w64 (the POSIX thread model, so std::thread and
# std::mutex work). The including toolchain file sets VTL_MINGW_TRIPLET.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VTL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VTL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VTL_MINGW_TRIPLET}-windres)
set(VTL_WIDL ${VTL_MINGW_TRIPLET}-widl CACHE FILEPATH "IDL compiler that makes the type library")
set(CMAKE_FIND_ROOT_PATH /usr/${VTL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# GCC 12 of this cross compiler warns of overlapping copies and overflows inside the standard
# library's own inlined code that cannot happen (GCC bugs 105329, 105651: the sizes it reasons
# about are bounded by the calling code); with -Werror that would stop the build.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict -Wno-stringop-overflow")
