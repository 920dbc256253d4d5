# The sfxpack package: find_package(sfxpack) gives
#
#   sfxpack::sfxpack      the sfxpack program (an imported executable)
#   SFXPACK_EXECUTABLE    its path
#   SFXPACK_LAUNCHER      the launcher image installed with it
#   sfxpack_add_container(<target> OUTPUT <file>
#                         [FILES <input>...] [NAMES <NAME=input>...]
#                         [STUB <input>] [ICON <input>]
#                         [FILE_VERSION <A.B.C.D>] [PRODUCT_VERSION <A.B.C.D>]
#                         [VERSION_STRINGS <KEY=VALUE>...]
#                         [CODEPAGE <N>] [FATAL_WARNINGS]
#                         [DEPENDS <file-or-target>...]
#                         [SIGN_COMMAND <command> <argument>...]
#                         [INSTALL_DESTINATION <dir>] [EXCLUDE_FROM_ALL])
#
# sfxpack_add_container adds a target that packs the FILES, then the NAMES
# (the first record is the program the launcher runs), into OUTPUT, and
# packs again whenever an input, the stub, the icon, a DEPENDS item or
# sfxpack itself changes.  An input is a target (its file), a path that may
# hold generator expressions ($<TARGET_FILE:app>), or a path looked up as
# add_custom_command looks up DEPENDS: relative to the current source
# directory, else to the current binary directory, where it must exist or
# be made by the build (configure_file, a custom command's OUTPUT);
# anything else is an error when CMake configures.  NAMES stores an input
# under another name.  The other keywords are sfxpack create's options
# (--stub, --icon, --file-version, --product-version, --version-string,
# --codepage, --fatal-warnings).  SIGN_COMMAND runs on the packed file
# before OUTPUT counts as built: @IN@ stands for the unsigned file, @OUT@
# for the file the command writes (without @OUT@ it signs @IN@ in place);
# OUTPUT appears only once signed.  A relative OUTPUT is taken from the
# current binary directory; the target's SFXPACK_OUTPUT property holds its
# full path.
#
# The package lies at <prefix>/lib/cmake/sfxpack.  sfxpack runs on the
# build machine: a cross build finds it with
# find_package(sfxpack REQUIRED NO_CMAKE_FIND_ROOT_PATH) or -Dsfxpack_DIR=.
if(CMAKE_VERSION VERSION_LESS 3.17)
    set(sfxpack_FOUND FALSE)
    set(sfxpack_NOT_FOUND_MESSAGE "the sfxpack package needs CMake 3.17 or later, this is ${CMAKE_VERSION}")
    return()
endif()
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

# _sfxpack_input(<target> <input> <path-var>): the path sfxpack is given
# for <input>.  Appends to `deps` (in the caller) what the packing depends
# on, and to `pending` and `pending_paths` the inputs that must exist or
# be made by the build, and their paths.
function(_sfxpack_input target input path_var)
    if(input MATCHES "\\$<")
        # Generator expressions pass through; the targets they name become
        # dependencies (TARGET_FILE and the like imply no file dependency).
        string(REGEX MATCHALL "\\$<TARGET_[A-Z_]+:[^>$,]+>" refs "${input}")
        set(targets)
        foreach(ref IN LISTS refs)
            string(REGEX REPLACE "^\\$<TARGET_[A-Z_]+:(.*)>$" "\\1" ref "${ref}")
            list(APPEND targets "${ref}")
        endforeach()
        set(deps ${deps} "${input}" ${targets} PARENT_SCOPE)
        set(${path_var} "${input}" PARENT_SCOPE)
    elseif(TARGET "${input}")
        get_target_property(type "${input}" TYPE)
        if(type MATCHES "^(UTILITY|INTERFACE_LIBRARY|OBJECT_LIBRARY)$")
            message(FATAL_ERROR "sfxpack_add_container(${target}): target '${input}' has no file of its own "
                "to pack; name the file it makes and list the target in DEPENDS")
        endif()
        set(deps ${deps} "${input}" PARENT_SCOPE)
        set(${path_var} "$<TARGET_FILE:${input}>" PARENT_SCOPE)
    else()
        set(path "${CMAKE_CURRENT_SOURCE_DIR}/${input}")
        if(IS_ABSOLUTE "${input}")
            set(path "${input}")
        elseif(NOT EXISTS "${path}")
            set(path "${CMAKE_CURRENT_BINARY_DIR}/${input}")
        endif()
        if(NOT EXISTS "${path}")
            set(pending ${pending} "${input}" PARENT_SCOPE)
            set(pending_paths ${pending_paths} "${path}" PARENT_SCOPE)
        endif()
        set(deps ${deps} "${path}" PARENT_SCOPE)
        set(${path_var} "${path}" PARENT_SCOPE)
    endif()
endfunction()

# _sfxpack_check_inputs(<target>): fails the configuration for each input
# of <target> that is neither a file nor made by the build.  Runs at the
# end of the directory, when its custom commands are all known.
function(_sfxpack_check_inputs target)
    get_target_property(inputs ${target} _SFXPACK_PENDING)
    get_target_property(paths ${target} _SFXPACK_PENDING_PATHS)
    foreach(input path IN ZIP_LISTS inputs paths)
        get_source_file_property(generated "${path}" GENERATED)
        if(NOT EXISTS "${path}" AND NOT generated)
            message(FATAL_ERROR "sfxpack_add_container(${target}): input '${input}' is neither a target, "
                "nor a file in ${CMAKE_CURRENT_SOURCE_DIR}, nor a file this build makes in "
                "${CMAKE_CURRENT_BINARY_DIR}")
        endif()
    endforeach()
endfunction()

# _sfxpack_check_keywords(): a keyword of sfxpack_add_container given
# without a value (an unset variable, a misspelt name) is an error that
# names it, as is an empty item of a list keyword.  Reads the caller's
# parsed ARG_ variables, `one`, `multi` and `given` (its arguments).
macro(_sfxpack_check_keywords)
    set(empty ${ARG_KEYWORDS_MISSING_VALUES})
    foreach(keyword IN LISTS one)
        if(keyword IN_LIST given AND "${ARG_${keyword}}" STREQUAL "")
            list(APPEND empty ${keyword})
        endif()
    endforeach()
    if(empty)
        list(REMOVE_DUPLICATES empty)
        string(REPLACE ";" ", " empty "${empty}")
        message(FATAL_ERROR "sfxpack_add_container(${name}): ${empty} given without a value "
            "(is a variable unset or misspelt?)")
    endif()
    foreach(keyword IN LISTS multi)
        foreach(item IN LISTS ARG_${keyword})
            if(item STREQUAL "")
                message(FATAL_ERROR "sfxpack_add_container(${name}): ${keyword} holds an empty item")
            endif()
        endforeach()
    endforeach()
endmacro()

# _sfxpack_sign(<target> <unsigned> <output> <command>...): sets `commands`
# to the steps that sign <unsigned> into <output>; <output> is only ever
# the result of a rename of the signed file.
function(_sfxpack_sign target unsigned output)
    if(NOT ARGN MATCHES "@IN@")
        message(FATAL_ERROR "sfxpack_add_container(${target}): SIGN_COMMAND names no @IN@ (the file to sign)")
    endif()
    set(signed "${unsigned}")
    set(clear)
    if(ARGN MATCHES "@OUT@")
        string(REGEX REPLACE "\\.unsigned([^/]*)$" ".signed\\1" signed "${unsigned}")
        set(clear COMMAND "${CMAKE_COMMAND}" -E rm -f "${signed}")
    endif()
    set(sign)
    foreach(arg IN LISTS ARGN)
        string(REPLACE "@IN@" "${unsigned}" arg "${arg}")
        string(REPLACE "@OUT@" "${signed}" arg "${arg}")
        list(APPEND sign "${arg}")
    endforeach()
    # Without @OUT@ the signed file is @IN@ itself, renamed to OUTPUT.
    set(commands ${clear} COMMAND ${sign} COMMAND "${CMAKE_COMMAND}" -E rename "${signed}" "${output}")
    if(clear)
        list(APPEND commands COMMAND "${CMAKE_COMMAND}" -E rm -f "${unsigned}")
    endif()
    set(commands ${commands} PARENT_SCOPE)
endfunction()

# _sfxpack_create_options(): sets `options` to create's options from the
# parsed ARG_ variables, `deps` and `pending` growing as in _sfxpack_input.
macro(_sfxpack_create_options)
    set(options)
    if(ARG_STUB)
        _sfxpack_input(${name} "${ARG_STUB}" stub)
        list(APPEND options --stub "${stub}")
    endif()
    if(ARG_ICON)
        _sfxpack_input(${name} "${ARG_ICON}" icon)
        list(APPEND options --icon "${icon}")
    endif()
    foreach(keyword FILE_VERSION PRODUCT_VERSION CODEPAGE)
        if(DEFINED ARG_${keyword})
            string(TOLOWER "--${keyword}" option)
            string(REPLACE "_" "-" option "${option}")
            list(APPEND options ${option} "${ARG_${keyword}}")
        endif()
    endforeach()
    foreach(pair IN LISTS ARG_VERSION_STRINGS)
        list(APPEND options --version-string "${pair}")
    endforeach()
    if(ARG_FATAL_WARNINGS)
        list(APPEND options --fatal-warnings)
    endif()
endmacro()

# _sfxpack_records(): sets `records` to create's operands and --name
# options, FILES first, then NAMES.
macro(_sfxpack_records)
    set(records)
    set(named)
    foreach(pair IN LISTS ARG_NAMES)
        if(NOT pair MATCHES "^([^=]+)=(.+)$")
            message(FATAL_ERROR "sfxpack_add_container(${name}): NAMES item '${pair}' is not NAME=PATH")
        endif()
        set(record_name "${CMAKE_MATCH_1}")
        _sfxpack_input(${name} "${CMAKE_MATCH_2}" path)
        list(APPEND named --name "${record_name}=${path}")
    endforeach()
    foreach(file IN LISTS ARG_FILES)
        _sfxpack_input(${name} "${file}" path)
        list(APPEND records "${path}")
    endforeach()
endmacro()

function(sfxpack_add_container name)
    set(one OUTPUT STUB ICON FILE_VERSION PRODUCT_VERSION CODEPAGE INSTALL_DESTINATION)
    set(multi FILES NAMES VERSION_STRINGS DEPENDS SIGN_COMMAND)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "FATAL_WARNINGS;EXCLUDE_FROM_ALL" "${one}" "${multi}")
    set(given ${ARGN})
    _sfxpack_check_keywords()
    if(ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "sfxpack_add_container(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT ARG_OUTPUT)
        message(FATAL_ERROR "sfxpack_add_container(${name}): OUTPUT is required")
    endif()
    if(NOT ARG_FILES AND NOT ARG_NAMES)
        message(FATAL_ERROR "sfxpack_add_container(${name}): FILES or NAMES needs at least one file")
    endif()

    set(deps)
    set(pending)
    set(pending_paths)
    _sfxpack_records()
    _sfxpack_create_options()
    get_filename_component(output "${ARG_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
    # Signing works on a file beside OUTPUT (so the rename stays on one
    # file system) that keeps OUTPUT's extension, which signing tools read.
    set(packed "${output}")
    set(commands)
    set(what Packing)
    if(ARG_SIGN_COMMAND)
        get_filename_component(dir "${output}" DIRECTORY)
        get_filename_component(stem "${output}" NAME_WLE)
        get_filename_component(ext "${output}" LAST_EXT)
        set(packed "${dir}/${stem}.unsigned${ext}")
        _sfxpack_sign(${name} "${packed}" "${output}" ${ARG_SIGN_COMMAND})
        set(what "Packing and signing")
    endif()
    # COMMENT evaluates generator expressions only from CMake 3.26 on; an
    # OUTPUT with $<CONFIG> is announced by echo before that.
    set(announce COMMENT "${what} ${ARG_OUTPUT}")
    if(ARG_OUTPUT MATCHES "\\$<" AND CMAKE_VERSION VERSION_LESS 3.26)
        set(announce COMMAND "${CMAKE_COMMAND}" -E echo "${what} ${ARG_OUTPUT}")
    endif()

    # --force: the rule replaces its own earlier output.  The records are
    # full paths (or the targets' files), never read as options or @lists,
    # so FILES can come before the --name records without "--".
    add_custom_command(OUTPUT "${output}"
        ${announce}
        COMMAND "${SFXPACK_EXECUTABLE}" create --force ${options} -o "${packed}" ${records} ${named}
        ${commands}
        DEPENDS ${deps} ${ARG_DEPENDS} "${SFXPACK_EXECUTABLE}"
        VERBATIM)
    _sfxpack_add_target()
endfunction()

# _sfxpack_add_target(): the target of sfxpack_add_container, its
# SFXPACK_OUTPUT property, its installation and the check of its inputs.
macro(_sfxpack_add_target)
    set(all ALL)
    if(ARG_EXCLUDE_FROM_ALL)
        set(all)
    endif()
    add_custom_target(${name} ${all} DEPENDS "${output}")
    set_target_properties(${name} PROPERTIES SFXPACK_OUTPUT "${output}" _SFXPACK_PENDING "${pending}"
        _SFXPACK_PENDING_PATHS "${pending_paths}")
    if(ARG_INSTALL_DESTINATION)
        install(PROGRAMS "${output}" DESTINATION "${ARG_INSTALL_DESTINATION}")
    endif()
    if(pending AND CMAKE_VERSION VERSION_LESS 3.19)
        _sfxpack_check_inputs(${name})
    elseif(pending)
        cmake_language(EVAL CODE "cmake_language(DEFER CALL _sfxpack_check_inputs [==[${name}]==])")
    endif()
endmacro()
