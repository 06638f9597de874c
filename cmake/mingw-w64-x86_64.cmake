# 64-bit Windows (the windows-x64 preset).
set(ORVANTE_MINGW_TRIPLE x86_64-w64-mingw32)
set(ORVANTE_MINGW_PROCESSOR AMD64)
set(ORVANTE_WINEARCH win64)
# wine's 64-bit loader itself: the `wine` command starts the 32-bit one
# whenever wine32 is installed, which some machines cannot run.
set(ORVANTE_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
