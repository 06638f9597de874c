# 32-bit Windows (the windows-x86 preset).
set(ORVANTE_MINGW_TRIPLE i686-w64-mingw32)
set(ORVANTE_MINGW_PROCESSOR x86)
set(ORVANTE_WINEARCH win32)
set(ORVANTE_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
