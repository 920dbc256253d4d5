# Turns the launcher image into a C++ source with the bytes as an array:
#   cmake -DINPUT=launcher.exe -DOUTPUT=launcher_image.cpp -P embed.cmake
# The output is rewritten only when its content changes, so an unchanged
# launcher does not make sfxpack relink.
if(NOT EXISTS "${INPUT}")
    message(FATAL_ERROR "launcher image ${INPUT} does not exist")
endif()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Break the one long line every 32 bytes (160 characters).
string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.new"
    "// Generated from ${INPUT} by embed.cmake; do not edit.\n"
    "#include \"cli/launcher_image.h\"\n"
    "namespace sfxpack {\n"
    "const unsigned char kLauncherImage[] = {\n${bytes}\n};\n"
    "const size_t kLauncherImageSize = ${size};\n"
    "}  // namespace sfxpack\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUTPUT}.new" "${OUTPUT}")
file(REMOVE "${OUTPUT}.new")
