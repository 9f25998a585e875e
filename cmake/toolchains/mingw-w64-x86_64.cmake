# Cross build for 64-bit Windows with the MinGW-w64 GCC of Debian
# (g++-mingw-w64-x86-64-posix), with Wine as the emulator that runs the
# built programs: tests, test discovery and anything else CTest starts.
#
#   cmake -S . -B build/windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
#
# The compiler is the "posix" thread model variant: it is the one whose
# libstdc++ has std::thread, std::mutex and std::condition_variable.
# libgcc, libstdc++ and winpthread are linked statically into every .exe and
# .dll, so that the programs need no MinGW runtime DLL beside them, under Wine
# or on a Windows machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTREL_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(KESTREL_MINGW_CXX NAMES ${KESTREL_MINGW_TRIPLE}-g++-posix)
find_program(KESTREL_MINGW_CC NAMES ${KESTREL_MINGW_TRIPLE}-gcc-posix)
find_program(KESTREL_MINGW_WINDRES NAMES ${KESTREL_MINGW_TRIPLE}-windres)
if(NOT KESTREL_MINGW_CXX)
  message(FATAL_ERROR "${KESTREL_MINGW_TRIPLE}-g++-posix not found "
                      "(Debian package g++-mingw-w64-x86-64-posix)")
endif()
set(CMAKE_CXX_COMPILER ${KESTREL_MINGW_CXX})
if(KESTREL_MINGW_CC)
  set(CMAKE_C_COMPILER ${KESTREL_MINGW_CC})
endif()
if(KESTREL_MINGW_WINDRES)
  set(CMAKE_RC_COMPILER ${KESTREL_MINGW_WINDRES})
endif()

# Libraries, headers and packages of the target only; programs of the host.
# A program built against an unpacked Kestrel SDK (kestrel-*-win64.zip) that
# lies elsewhere names it in CMAKE_PREFIX_PATH and adds
# -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH.
set(CMAKE_FIND_ROOT_PATH /usr/${KESTREL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
if(NOT DEFINED CMAKE_FIND_ROOT_PATH_MODE_PACKAGE)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()

# No MinGW runtime DLLs: the system DLLs (kernel32, ws2_32, msvcrt) stay
# dynamic, everything of the compiler's own is linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Wine runs what the build produced. Each build tree gets its own Wine
# prefix (KESTREL_WINEPREFIX, by default <build>/wineprefix), so that a run
# starts from a clean, private configuration; Wine's own diagnostics are off.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KESTREL_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine)
  if(KESTREL_WINE)
    if(NOT KESTREL_WINEPREFIX)
      set(KESTREL_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
    endif()
    set(KESTREL_WINEPREFIX "${KESTREL_WINEPREFIX}" CACHE PATH "Wine prefix of this build tree")
    set(CMAKE_CROSSCOMPILING_EMULATOR
        "env;WINEDEBUG=-all;WINEPREFIX=${KESTREL_WINEPREFIX};${KESTREL_WINE}"
        CACHE STRING "Runs a built Windows program on this machine")
  endif()
endif()
