# The native build: sfxpack, the padding step, the unit tests, and the
# Windows parts as a cross build in <build>/windows.
include(ExternalProject)
enable_testing()

add_executable(padimage tools/padimage/padimage.cpp)

set(SFX_WINDOWS_DIR ${CMAKE_BINARY_DIR}/windows)
ExternalProject_Add(windows
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${SFX_WINDOWS_DIR}
    CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake
        -DCMAKE_BUILD_TYPE=Release
        -DSFX_PADIMAGE=$<TARGET_FILE:padimage>
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    DEPENDS padimage)
set(SFX_LAUNCHER ${SFX_WINDOWS_DIR}/launcher.exe)

add_subdirectory(tools/sfxpack)
add_subdirectory(tests)
