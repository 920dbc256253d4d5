# The static sfxpack of the Linux release tarballs (tools/release.sh):
# sfxpack alone, one fully static program (glibc, libstdc++ and Debian's
# libcrypto.a linked in; no interpreter, no shared libraries), for the
# build machine or, with cmake/aarch64-linux-gnu.cmake, for aarch64.
#
# It takes two files from a native build of this tree: the launcher image
# it carries (SFX_LAUNCHER) and the code page tables it converts with
# (SFXPACK_CODEPAGE_TABLES, from the target sfxpack_codepage_tables), so
# that it reads no gconv module or locale file at run time.
foreach(var SFX_LAUNCHER SFXPACK_CODEPAGE_TABLES)
    if(NOT EXISTS "${${var}}")
        message(FATAL_ERROR "a static build needs ${var}: a file of a native build of this tree")
    endif()
endforeach()

add_link_options(-static)
add_subdirectory(tools/sfxpack)
