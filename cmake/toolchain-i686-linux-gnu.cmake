# Cross-compiles for 32-bit x86 Linux with Debian's g++-i686-linux-gnu, so
# the code the 32-bit Windows DLL is built from runs on any x86-64 kernel,
# with or without 32-bit support: the test programs run under qemu-i386.
# The cross runtime (under /usr/i686-linux-gnu) comes in architecture-
# independent packages; no i386 library package is used, so GoogleTest is
# built from the sources Debian's libgtest-dev ships, and the tool and tests
# that need libsndfile or liblilv are left out.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(FLANGER_CROSS_TRIPLET i686-linux-gnu)
set(FLANGER_CROSS_SYSROOT /usr/${FLANGER_CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${FLANGER_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FLANGER_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH ${FLANGER_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No i386 .pc files: pkg-config finds nothing rather than the build
# machine's 64-bit libraries.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${FLANGER_CROSS_TRIPLET}/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

set(GTest_DIR ${CMAKE_CURRENT_LIST_DIR}/gtest-source CACHE PATH "GoogleTest built from source")

find_program(FLANGER_QEMU_I386 qemu-i386)
if(FLANGER_QEMU_I386)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FLANGER_QEMU_I386} -L ${FLANGER_CROSS_SYSROOT})
endif()
