# The native build: sfxpack, the padding step, the unit tests, and the
# Windows parts as a cross build in <build>/windows.
include(ExternalProject)
enable_testing()

# A release build (tools/release.sh) needs sfxpack and the launcher only.
option(SFX_TESTS "Build the tests and the Windows-side test programs" ON)
# Installed directories get these whatever the umask (the Debian package
# wants 0755).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

add_executable(padimage tools/padimage/padimage.cpp)
# It reads the headers with sfxpack's PE reader (tools/sfxpack/format).
target_link_libraries(padimage PRIVATE sfxpack_format)

set(SFX_WINDOWS_DIR ${CMAKE_BINARY_DIR}/windows)
ExternalProject_Add(windows
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${SFX_WINDOWS_DIR}
    CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake
        -DCMAKE_BUILD_TYPE=Release
        -DSFX_PADIMAGE=$<TARGET_FILE:padimage>
        -DSFX_WINDOWS_TESTS=${SFX_TESTS}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    DEPENDS padimage)
set(SFX_LAUNCHER ${SFX_WINDOWS_DIR}/launcher.exe)

add_subdirectory(tools/sfxpack)
if(SFX_TESTS)
    add_subdirectory(tests)
endif()
include(cmake/package.cmake)
