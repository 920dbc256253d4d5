# The sfxpack package: find_package(sfxpack) gives
#
#   sfxpack::sfxpack      the sfxpack program (an imported executable)
#   SFXPACK_EXECUTABLE    its path
#   SFXPACK_LAUNCHER      the launcher image installed with it
#   sfxpack_add_container(<target> OUTPUT <file> FILES <first> [<more>...]
#                         [STUB <launcher>] [ICON <file.ico>]
#                         [FILE_VERSION <A.B.C.D>] [PRODUCT_VERSION <A.B.C.D>]
#                         [VERSION_STRINGS <KEY=VALUE>...])
#
# sfxpack_add_container adds a target, built by default, that packs the
# FILES (the first is the program the launcher runs) into OUTPUT, and packs
# again whenever an input, the stub, the icon or sfxpack itself changes.
# ICON, FILE_VERSION, PRODUCT_VERSION and VERSION_STRINGS brand the
# launcher image (sfxpack create's --icon, --file-version,
# --product-version and --version-string).  A relative OUTPUT is taken from
# the current binary directory, relative FILES, STUB and ICON from the
# current source directory.
#
# The package lies at <prefix>/lib/cmake/sfxpack.
get_filename_component(_sfxpack_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(EXISTS "${_sfxpack_prefix}/bin/sfxpack.exe")
    set(SFXPACK_EXECUTABLE "${_sfxpack_prefix}/bin/sfxpack.exe")
else()
    set(SFXPACK_EXECUTABLE "${_sfxpack_prefix}/bin/sfxpack")
endif()
set(SFXPACK_LAUNCHER "${_sfxpack_prefix}/share/sfxpack/launcher.exe")
unset(_sfxpack_prefix)

if(NOT EXISTS "${SFXPACK_EXECUTABLE}")
    set(sfxpack_FOUND FALSE)
    set(sfxpack_NOT_FOUND_MESSAGE "sfxpack program ${SFXPACK_EXECUTABLE} is missing")
    return()
endif()

if(NOT TARGET sfxpack::sfxpack)
    add_executable(sfxpack::sfxpack IMPORTED)
    set_target_properties(sfxpack::sfxpack PROPERTIES IMPORTED_LOCATION "${SFXPACK_EXECUTABLE}")
endif()

function(sfxpack_add_container name)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "" "OUTPUT;STUB;ICON;FILE_VERSION;PRODUCT_VERSION"
        "FILES;VERSION_STRINGS")
    if(ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "sfxpack_add_container(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT ARG_OUTPUT)
        message(FATAL_ERROR "sfxpack_add_container(${name}): OUTPUT is required")
    endif()
    if(NOT ARG_FILES)
        message(FATAL_ERROR "sfxpack_add_container(${name}): FILES needs at least one file")
    endif()

    get_filename_component(output "${ARG_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
    set(files)
    foreach(file IN LISTS ARG_FILES)
        get_filename_component(file "${file}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        list(APPEND files "${file}")
    endforeach()
    set(stub)
    set(stub_option)
    if(ARG_STUB)
        get_filename_component(stub "${ARG_STUB}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        set(stub_option --stub "${stub}")
    endif()
    set(icon)
    if(ARG_ICON)
        get_filename_component(icon "${ARG_ICON}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        list(APPEND stub_option --icon "${icon}")
    endif()
    if(DEFINED ARG_FILE_VERSION)
        list(APPEND stub_option --file-version "${ARG_FILE_VERSION}")
    endif()
    if(DEFINED ARG_PRODUCT_VERSION)
        list(APPEND stub_option --product-version "${ARG_PRODUCT_VERSION}")
    endif()
    foreach(pair IN LISTS ARG_VERSION_STRINGS)
        list(APPEND stub_option --version-string "${pair}")
    endforeach()

    # --force: the rule replaces its own earlier output; "--" keeps file
    # names that start with @ or - from being read as options.
    add_custom_command(OUTPUT "${output}"
        COMMAND "${SFXPACK_EXECUTABLE}" create --force ${stub_option} -o "${output}" -- ${files}
        DEPENDS ${files} ${stub} ${icon} "${SFXPACK_EXECUTABLE}"
        COMMENT "Packing ${ARG_OUTPUT}"
        VERBATIM)
    add_custom_target(${name} ALL DEPENDS "${output}")
endfunction()
