# Builds plugins for the appliance: 32-bit MIPS, little-endian, Linux with
# glibc, with Debian's cross toolchain (g++-mipsel-linux-gnu; its C and C++
# libraries live in /usr/mipsel-linux-gnu). Installed with the SDK beside
# DvrCoreSDKConfig.cmake:
#
#   cmake -S . -B build-mipsel -DCMAKE_PREFIX_PATH=<sdk prefix> \
#         -DCMAKE_TOOLCHAIN_FILE=<sdk prefix>/lib/cmake/DvrCoreSDK/mipsel-linux-gnu.cmake
#
# A plugin needs no target library beyond the toolchain's own. With
# qemu-mipsel installed, programs of the build run under it
# (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
set(DVR_TOOLCHAIN_ROOT /usr/mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# Target libraries and headers from the toolchain only, never from the host;
# host programs (qemu, code generators) from the host.
set(CMAKE_FIND_ROOT_PATH ${DVR_TOOLCHAIN_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The package search above looks under the target roots only: point
# find_package(DvrCoreSDK) at the SDK this file was installed with.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/DvrCoreSDKConfig.cmake AND NOT DvrCoreSDK_DIR)
  set(DvrCoreSDK_DIR ${CMAKE_CURRENT_LIST_DIR})
endif()

# Size matters on the appliance's flash: let the linker drop unused sections.
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,--gc-sections")
endforeach()

# qemu user mode: -L makes the guest loader find the toolchain's libraries.
# There is no binfmt_misc registration, so every target program runs through it.
find_program(DVR_QEMU qemu-mipsel)
if(DVR_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DVR_QEMU} -L ${DVR_TOOLCHAIN_ROOT})
endif()
