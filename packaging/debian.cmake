# The Debian package (cpack -G DEB): the tool and its manual page as
# installed, plus the two files Debian asks of every package, the licence as
# a machine-readable copyright file and the changelog. The package is made
# from this tree alone, so in Debian's terms it is native: its version is
# the project's, with no packaging revision, and its changelog is
# changelog.gz (changelog.Debian.gz belongs to packages of software from
# elsewhere).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "prints a text picture of a wave file's waveform")
set(CPACK_PACKAGE_DESCRIPTION
    "ostrel draws the waveform of a RIFF/WAVE audio file as text, over an
interval of time that you name: one line per window of frames, with the
window's time and a row of dots as long as its mean level, and then the
peak level of the interval in dBFS. It reads 8-, 16-, 24-, 32- and 64-bit
integer samples (12-, 20-bit and other widths stored in whole bytes),
32- and 64-bit float samples and G.711 A-law and mu-law, with 1 to 8
channels, from files or from a stream such as a live capture.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Valdrin <valdrin@ostrel.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # ostrel_<version>_<arch>.deb
set(CPACK_STRIP_FILES ON)
# The architecture the tool is built for: the machine's own, or, cross-built,
# Debian's name for the target's (aarch64-linux-gnu is arm64, ...).
find_program(OSTREL_DPKG dpkg)
find_program(OSTREL_DPKG_ARCHITECTURE dpkg-architecture)
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE AND OSTREL_DPKG_ARCHITECTURE)
  execute_process(COMMAND ${OSTREL_DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE}
                          -q DEB_HOST_ARCH
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
elseif(OSTREL_DPKG AND NOT CMAKE_CROSSCOMPILING)
  execute_process(COMMAND ${OSTREL_DPKG} --print-architecture
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
# Exact library dependencies where the Debian tool that works them out is
# installed; otherwise the three libraries every C++ program here links.
# Cross-built, it reads them from the target's libraries installed beside
# the machine's (libstdc++6:arm64, ...).
find_program(OSTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(OSTREL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

# The copyright file in Debian's machine-readable format, made from LICENSE
# so that the licence text lives in one place: its copyright line becomes
# the Copyright field and the rest the licence paragraph ("Expat" is
# Debian's name for this MIT licence).
set(debian_dir ${CMAKE_BINARY_DIR}/debian)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)\n\n(.*[^\n])\n*$" _ "${license}")
if(NOT CMAKE_MATCH_1 OR NOT CMAKE_MATCH_2)
  message(FATAL_ERROR "LICENSE: no \"Copyright (c)\" line followed by the terms")
endif()
set(holders "${CMAKE_MATCH_1}")
string(REPLACE "\n\n" "\n.\n" terms "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " terms " ${terms}")
file(CONFIGURE OUTPUT ${debian_dir}/copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ostrel

Files: *
Copyright: @holders@
License: Expat
@terms@
")
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${debian_dir}/changelog @ONLY)
add_custom_command(
  OUTPUT ${debian_dir}/changelog.gz
  COMMAND ${OSTREL_GZIP} -9nkf ${debian_dir}/changelog
  DEPENDS ${debian_dir}/changelog
  COMMENT "Compressing the changelog")
add_custom_target(changelog_gz ALL
                  DEPENDS ${debian_dir}/changelog.gz)

# These two go into the package only: a plain cmake --install leaves them
# out, and cpack installs the default component and this one.
install(FILES ${debian_dir}/copyright ${debian_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT debian EXCLUDE_FROM_ALL)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};ostrel;Unspecified;/"
    "${CMAKE_BINARY_DIR};ostrel;debian;/")
include(CPack)
