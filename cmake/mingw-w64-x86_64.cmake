# 64-bit Windows (the windows-x64 preset).
set(ORVANTE_MINGW_TRIPLE x86_64-w64-mingw32)
set(ORVANTE_MINGW_PROCESSOR AMD64)
set(ORVANTE_WINEARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
