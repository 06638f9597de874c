# The decoder oracle of the tests (tests/support/decoder_oracle.h) as the
# library orvante_decoder_oracle, which defines ORVANTE_DECODER_ORACLE for
# whatever links it. Built on Linux, where pkg-config finds libavformat,
# libavcodec and libavutil (Debian's libavformat-dev, libavcodec-dev and
# libavutil-dev); never for Windows. Included by the unit tests' and the
# fuzz target's lists, the first one makes it.
if(NOT TARGET orvante_decoder_oracle)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT CMAKE_CROSSCOMPILING)
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
      pkg_check_modules(ORVANTE_LIBAV QUIET GLOBAL IMPORTED_TARGET libavformat libavcodec libavutil)
    endif()
  endif()
  if(ORVANTE_LIBAV_FOUND)
    add_library(orvante_decoder_oracle STATIC ${CMAKE_CURRENT_LIST_DIR}/decoder_oracle.cpp)
    target_include_directories(orvante_decoder_oracle PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(orvante_decoder_oracle PUBLIC PkgConfig::ORVANTE_LIBAV)
    target_compile_definitions(orvante_decoder_oracle PUBLIC ORVANTE_DECODER_ORACLE=1)
  endif()
endif()
