# Cross build for 64-bit Windows with MinGW-w64 from Debian (g++-mingw-w64-x86-64-posix: the
# posix threads flavour, which std::thread and std::mutex need). The programs run under Wine, so
# test discovery and CTest work as on Linux.
#
# Dependencies built for Windows are found below the prefixes given with
# -DCMAKE_FIND_ROOT_PATH=DIR (scripts/windows-deps builds them); nothing of the build machine's
# own libraries is used.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(kavrin_mingw_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${kavrin_mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kavrin_mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${kavrin_mingw_triplet}-windres)

list(APPEND CMAKE_FIND_ROOT_PATH /usr/${kavrin_mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's wine64 package keeps its launcher out of PATH.
find_program(KAVRIN_WINE NAMES wine64 wine PATHS /usr/lib/wine DOC "Wine, to run the programs built")
if(KAVRIN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVRIN_WINE})
endif()
