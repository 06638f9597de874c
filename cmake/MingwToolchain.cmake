# Cross-compiling for Windows with mingw-w64, included by the toolchain file
# of each architecture after it has set ORVANTE_MINGW_TRIPLE
# (i686-w64-mingw32 or x86_64-w64-mingw32), ORVANTE_WINEARCH (win32 or
# win64) and ORVANTE_WINE_LOADER (the command that runs a program of that
# architecture under wine).
#
# The compilers are the posix thread model ones (<triple>-g++-posix), whose
# std::thread the rescue's slice walkers need. Everything is linked
# statically, so that orvante.exe needs no DLL beyond the system's.
#
# Programs built here run under wine: CMAKE_CROSSCOMPILING_EMULATOR runs
# them with WINEDEBUG=-all in the wine prefix <build folder>/wine-prefix,
# which the test run makes afresh (tests/CMakeLists.txt), 32-bit for the
# 32-bit build.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ORVANTE_MINGW_PROCESSOR})

set(CMAKE_C_COMPILER ${ORVANTE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVANTE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVANTE_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${ORVANTE_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ORVANTE_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${ORVANTE_MINGW_TRIPLE}-strip CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${ORVANTE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libstdc++, libgcc and winpthread inside the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# The wine that runs the programs built here: a prefix of this build's own,
# no debug channels, and no prompt to install Mono or Gecko.
set(ORVANTE_WINEPREFIX "${CMAKE_BINARY_DIR}/wine-prefix")
# A loader named by its path is also the one wine starts further programs
# with (WINELOADER), as the `wine` command does itself when it falls back on
# the 64-bit loader.
set(ORVANTE_WINE_ENV
    WINEPREFIX=${ORVANTE_WINEPREFIX}
    WINEARCH=${ORVANTE_WINEARCH}
    WINEDEBUG=-all
    WINEDLLOVERRIDES=mscoree,mshtml=)
if(IS_ABSOLUTE "${ORVANTE_WINE_LOADER}")
  list(APPEND ORVANTE_WINE_ENV WINELOADER=${ORVANTE_WINE_LOADER})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env ${ORVANTE_WINE_ENV} ${ORVANTE_WINE_LOADER})
