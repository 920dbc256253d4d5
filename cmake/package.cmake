# The Debian package of sfxpack, made by `cpack -G DEB` in a native build
# tree (tools/release.sh does that): what sfxpack's install rules install
# under /usr, with the copyright file and changelog Debian asks for.
#
# Every time stamp comes from SOURCE_DATE_EPOCH when it is set (CPack's
# archives and string(TIMESTAMP) both honour it), so the same commit gives
# the same package.

# The copyright file in Debian's machine-readable format, its license text
# taken from LICENSE (paragraphs indented, blank lines as " .").
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(FIND "${license}" "Permission is hereby granted" start)
string(SUBSTRING "${license}" ${start} -1 license)
string(STRIP "${license}" license)
string(REPLACE "\n\n" "\n.\n" license "${license}")
string(REPLACE "\n" "\n " license "${license}")
# The notice carries the year of the last commit (SOURCE_DATE_EPOCH).
string(TIMESTAMP year "%Y" UTC)
set(SFX_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
file(WRITE ${SFX_PACKAGE_DIR}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: sfx\n"
    "\n"
    "Files: *\n"
    "Copyright: ${year} the sfx authors\n"
    "License: MIT\n"
    " ${license}\n")

# The changelog of a native package: one entry for this version, dated by
# the last commit (SOURCE_DATE_EPOCH), gzipped without name or time stamp.
set(SFX_MAINTAINER "the sfx authors <sfx@example.org>")
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${SFX_PACKAGE_DIR}/changelog
    "sfxpack (${PROJECT_VERSION}) unstable; urgency=medium\n"
    "\n"
    "  * Release ${PROJECT_VERSION}.\n"
    "\n"
    " -- ${SFX_MAINTAINER}  ${date}\n")
find_program(SFX_GZIP gzip)
if(NOT SFX_GZIP)
    message(FATAL_ERROR "gzip not found: the manual page and the changelog are installed gzipped")
endif()
execute_process(COMMAND ${SFX_GZIP} -9n -c ${SFX_PACKAGE_DIR}/changelog
    OUTPUT_FILE ${SFX_PACKAGE_DIR}/changelog.gz
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip of ${SFX_PACKAGE_DIR}/changelog failed: ${status}")
endif()
install(FILES ${SFX_PACKAGE_DIR}/copyright ${SFX_PACKAGE_DIR}/changelog.gz DESTINATION share/doc/sfxpack)

set(CPACK_PACKAGE_NAME sfxpack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the sfx authors")
set(CPACK_PACKAGE_CONTACT "${SFX_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "builds and checks self-extracting launcher containers for Windows")
set(CPACK_PACKAGE_DESCRIPTION
    "sfxpack packs files behind a small 32-bit Windows launcher that unpacks\n"
    "them into a temporary folder, runs the first one (an installer) and\n"
    "removes them afterwards.  It brands the launcher with an icon and\n"
    "version information, lists, verifies (signed containers included) and\n"
    "unpacks such containers.  The launcher is built into sfxpack and also\n"
    "installed with a CMake package that packs containers in a build.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
