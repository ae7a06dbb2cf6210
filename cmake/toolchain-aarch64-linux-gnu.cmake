# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu.
# Libraries come from Debian's arm64 packages (multiarch, installed with
# `dpkg --add-architecture arm64`), found under /usr/lib/aarch64-linux-gnu;
# the C runtime is the cross compiler's, under /usr/aarch64-linux-gnu.
#
# Test programs run under qemu-aarch64 when it is installed (Debian's
# qemu-user), so ctest and gtest's test discovery work unchanged.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(FLANGER_CROSS_TRIPLET aarch64-linux-gnu)
set(FLANGER_CROSS_SYSROOT /usr/${FLANGER_CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${FLANGER_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FLANGER_CROSS_TRIPLET}-g++)

# Headers, libraries and packages under the cross runtime or in the arm64
# multiarch folders (the library architecture keeps find_library to the
# latter); programs (pkg-config, nm, the emulator) from the build machine.
set(CMAKE_FIND_ROOT_PATH ${FLANGER_CROSS_SYSROOT} /)
set(CMAKE_LIBRARY_ARCHITECTURE ${FLANGER_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the arm64 packages' .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${FLANGER_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# The dynamic loader and the C library must come from one glibc build, or
# the first thread a program starts hangs. With Debian's arm64 libraries
# installed, libc6:arm64 is there too and the loader at its usual path finds
# all of them (the cross runtime's loader would pair with the arm64 libc and
# hang); without them, everything comes from the cross runtime.
find_program(FLANGER_QEMU_AARCH64 qemu-aarch64)
if(FLANGER_QEMU_AARCH64)
  if(EXISTS /lib/ld-linux-aarch64.so.1)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${FLANGER_QEMU_AARCH64})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${FLANGER_QEMU_AARCH64} -L ${FLANGER_CROSS_SYSROOT})
  endif()
endif()
