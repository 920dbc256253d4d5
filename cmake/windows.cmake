# The Windows parts: the launcher and the Windows-side test programs.
enable_language(RC)

# The padding step runs on the build machine.  A cross build is handed the
# native one; a build on Windows makes its own.
if(NOT SFX_PADIMAGE)
    if(CMAKE_CROSSCOMPILING)
        message(FATAL_ERROR "set SFX_PADIMAGE to the native padimage program")
    endif()
    add_executable(padimage tools/padimage/padimage.cpp)
    # It reads the headers with sfxpack's PE reader (tools/sfxpack/format).
    target_link_libraries(padimage PRIVATE sfxpack_format)
    set(SFX_PADIMAGE $<TARGET_FILE:padimage>)
endif()

# The image uses functions from Windows Vista on and SSE2 instructions: its
# header says 6.0, so older systems refuse it with their own message.
if(MSVC)
    set(SFX_LAUNCHER_FLAGS /W4 /GS /arch:SSE2 /fp:precise)
    set(SFX_LAUNCHER_LINK /SUBSYSTEM:WINDOWS,6.0 /OSVERSION:6.0)
else()
    # SSE arithmetic rounds every float to single precision, which the
    # progress formula relies on; x87 code would keep 64-bit mantissas.
    set(SFX_LAUNCHER_FLAGS -Wall -Wextra -Os -msse2 -mfpmath=sse
        -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables)
    set(SFX_LAUNCHER_LINK -static -s -Wl,--no-insert-timestamp
        -Wl,--major-os-version,6,--minor-os-version,0
        -Wl,--major-subsystem-version,6,--minor-subsystem-version,0)
endif()

set(SFX_LAUNCHER_SOURCES
    ${PROJECT_SOURCE_DIR}/src/run/main.cpp
    ${PROJECT_SOURCE_DIR}/src/run/launch.cpp
    ${PROJECT_SOURCE_DIR}/src/run/cmdline.cpp
    ${PROJECT_SOURCE_DIR}/src/run/error.cpp
    ${PROJECT_SOURCE_DIR}/src/run/links.cpp
    ${PROJECT_SOURCE_DIR}/src/run/paths.cpp
    ${PROJECT_SOURCE_DIR}/src/payload/extract.cpp
    ${PROJECT_SOURCE_DIR}/src/payload/folder.cpp
    ${PROJECT_SOURCE_DIR}/src/payload/container.cpp
    ${PROJECT_SOURCE_DIR}/res/launcher.rc)

# The resource script pulls in the icon and the manifest, which CMake's
# dependency scan does not follow.
set_property(SOURCE ${PROJECT_SOURCE_DIR}/res/launcher.rc APPEND PROPERTY OBJECT_DEPENDS
    ${PROJECT_SOURCE_DIR}/res/app.ico ${PROJECT_SOURCE_DIR}/res/launcher.manifest)

# add_launcher(NAME [DEFINES ...] [LIBS ...]): one padded launcher image.
function(add_launcher name)
    cmake_parse_arguments(L "" "" "DEFINES;LIBS" ${ARGN})
    add_executable(${name} WIN32 ${SFX_LAUNCHER_SOURCES})
    target_compile_options(${name} PRIVATE ${SFX_LAUNCHER_FLAGS})
    target_compile_definitions(${name} PRIVATE ${L_DEFINES})
    target_link_options(${name} PRIVATE ${SFX_LAUNCHER_LINK})
    target_link_libraries(${name} PRIVATE user32 shlwapi advapi32 ${L_LIBS})
    # The static runtime: the image imports system DLLs only, none that
    # must be redistributed or could be planted beside the download.
    set_property(TARGET ${name} PROPERTY MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
    add_custom_command(TARGET ${name} POST_BUILD
        COMMAND ${SFX_PADIMAGE} $<TARGET_FILE:${name}> ${SFX_PAYLOAD_OFFSET}
        COMMENT "Padding ${name} to ${SFX_PAYLOAD_OFFSET} bytes")
endfunction()

add_launcher(launcher)
install(TARGETS launcher RUNTIME DESTINATION share/sfxpack)

option(SFX_WINDOWS_TESTS "Build the Windows-side test programs" ON)
if(SFX_WINDOWS_TESTS)
    add_subdirectory(tests/win)
endif()

# sfxpack for Windows: a static .exe that embeds the launcher built above.
add_subdirectory(tools/sfxpack)
