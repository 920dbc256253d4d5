# Cross toolchain for the static aarch64 sfxpack: Debian's
# aarch64-linux-gnu compilers, with libcrypto from libssl-dev:arm64
# (multiarch, /usr/lib/aarch64-linux-gnu), and qemu's user-mode emulator
# to run what it builds.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TOOLCHAIN_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TOOLCHAIN_PREFIX})

find_program(QEMU_AARCH64 qemu-aarch64-static)
if(QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64})
endif()

# pkg-config would hand FindOpenSSL the build machine's library folder.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TOOLCHAIN_PREFIX}/pkgconfig:/usr/share/pkgconfig)
