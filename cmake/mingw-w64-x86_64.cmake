# Cross build for Windows x86-64 with MinGW-w64.
# The -posix compilers are required: the win32 thread model of GCC 12 has no
# std::thread or std::recursive_mutex. Executables and the DLL link the C++
# runtime, libgcc and winpthread statically, so they need no MinGW DLLs at
# run time (under Wine or on Windows).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QV_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QV_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${QV_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${QV_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${QV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test executables run under Wine. wine64 is not on PATH on Debian.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(QV_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  find_program(QV_WINE64 NAMES wine64 wine)
  if(QV_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QV_WINE64})
  endif()
endif()
