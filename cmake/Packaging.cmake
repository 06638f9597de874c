# What `cmake --install` puts in place, and the packages cpack makes of it:
# on Linux bin/orvante and share/man/man1/orvante.1.gz, packed as a .deb;
# on Windows orvante.exe and the README side by side, packed as a zip.

include(GNUInstallDirs)

if(WIN32)
  install(TARGETS orvante RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
else()
  install(TARGETS orvante RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # The man page is made from --help and --version by help2man whenever the
  # program is built, so it cannot drift from what the program says, with
  # the sections of orvante.h2m after them, and compressed as Debian keeps
  # man pages (gzip -9n: no name or time inside, so the same page gives the
  # same bytes). It needs help2man, gzip and a program that runs here.
  # Without them a build leaves the page out; a build for the package
  # (ORVANTE_PACKAGE) stops instead, since the package must hold it.
  find_program(ORVANTE_HELP2MAN help2man)
  find_program(ORVANTE_GZIP gzip)
  if(ORVANTE_HELP2MAN AND ORVANTE_GZIP AND NOT CMAKE_CROSSCOMPILING)
    set(ORVANTE_MAN_INCLUDE ${CMAKE_CURRENT_SOURCE_DIR}/cmake/orvante.h2m)
    set(ORVANTE_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/orvante.1)
    add_custom_command(
      OUTPUT ${ORVANTE_MAN_PAGE}.gz
      COMMAND ${ORVANTE_HELP2MAN} --no-info --section=1
              "--name=repair and demultiplex MPEG-1 recordings"
              --include=${ORVANTE_MAN_INCLUDE}
              --output=${ORVANTE_MAN_PAGE} $<TARGET_FILE:orvante>
      COMMAND ${ORVANTE_GZIP} -9nf ${ORVANTE_MAN_PAGE}
      DEPENDS orvante ${ORVANTE_MAN_INCLUDE}
      COMMENT "Making the man page orvante.1.gz from orvante --help"
      VERBATIM)
    add_custom_target(orvante_man ALL DEPENDS ${ORVANTE_MAN_PAGE}.gz)
    install(FILES ${ORVANTE_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  elseif(ORVANTE_PACKAGE)
    message(FATAL_ERROR "ORVANTE_PACKAGE is on, but the man page cannot be made: it needs help2man "
                        "and gzip (scripts/install-deps help2man gzip) and a build that runs here, "
                        "not a cross build")
  else()
    message(STATUS "help2man or gzip not found, or the program cannot run here: no man page")
  endif()
endif()

set(ORVANTE_PACKAGE_CONTACT "ORVANTE developers <orvante@example.org>"
    CACHE STRING "Maintainer written into the packages")

set(CPACK_PACKAGE_NAME orvante)
set(CPACK_PACKAGE_VENDOR "ORVANTE")
set(CPACK_PACKAGE_CONTACT "${ORVANTE_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "repair and demultiplex MPEG-1 recordings")
# The long description, one line per line of the package's control file.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "ORVANTE takes one MPEG-1 recording - a Video CD track ripped as raw CD"
  "sectors, an MPEG-1 system stream or a bare MPEG-1 video stream, as one file"
  "or a numbered set of files - repairs its video and writes it as a clean"
  "MPEG-1 video elementary stream, with the audio beside it.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # orvante-<version>-win32.zip or -win64.zip, one folder inside.
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # orvante_<version>_<arch>.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  # The dependencies (libc6, libstdc++6, libgcc-s1) are read from the program.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
