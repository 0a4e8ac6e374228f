# The appliance: 32-bit MIPS, little-endian, Linux with glibc. Uses Debian's
# cross toolchain (g++-mipsel-linux-gnu, its libraries under /usr/mipsel-linux-gnu)
# and the target libraries that scripts/mipsel-sysroot unpacks into DVR_SYSROOT.
# Programs run under qemu user-mode emulation (CMAKE_CROSSCOMPILING_EMULATOR),
# so CTest runs the whole suite on the development machine.
#
#   scripts/mipsel-sysroot build-mipsel/sysroot
#   cmake -S . -B build-mipsel -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
#         -DDVR_SYSROOT=$PWD/build-mipsel/sysroot
#
# Installed with the SDK (lib/cmake/DvrCoreSDK/), it builds plugins for the
# appliance; they need neither the sysroot nor qemu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
set(DVR_TOOLCHAIN_ROOT /usr/mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# try_compile projects read this file again; they get the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DVR_SYSROOT)
if(NOT DVR_SYSROOT)
  set(DVR_SYSROOT ${CMAKE_BINARY_DIR}/sysroot)
endif()
# Plugins built against the installed SDK need only the toolchain's own
# libraries; the core and its tests need the sysroot as well
# (cmake/Dependencies.cmake stops a core build without it).
if(EXISTS ${DVR_SYSROOT}/header-only/fmt)
  set(_dvr_have_sysroot TRUE)
else()
  set(_dvr_have_sysroot FALSE)
endif()

# Target libraries and headers come from the toolchain and the sysroot folder
# only, never from the host; host programs (qemu, code generators) from the host.
set(CMAKE_FIND_ROOT_PATH ${DVR_TOOLCHAIN_ROOT})
if(_dvr_have_sysroot)
  list(APPEND CMAKE_FIND_ROOT_PATH ${DVR_SYSROOT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Installed with the SDK, this file sits beside DvrCoreSDKConfig.cmake, which the
# package search above would look for under the target roots only: point
# find_package(DvrCoreSDK) at this copy's own SDK.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/DvrCoreSDKConfig.cmake AND NOT DvrCoreSDK_DIR)
  set(DvrCoreSDK_DIR ${CMAKE_CURRENT_LIST_DIR})
endif()

if(_dvr_have_sysroot)
  # Headers of the unpacked packages, including their per-architecture folder
  # (OpenSSL's configuration.h lives there), as the native compiler has them.
  foreach(lang C CXX)
    set(CMAKE_${lang}_STANDARD_INCLUDE_DIRECTORIES
        ${DVR_SYSROOT}/usr/include/${CMAKE_LIBRARY_ARCHITECTURE} ${DVR_SYSROOT}/usr/include)
  endforeach()
  # Boost and fmt, header-only (Dependencies.cmake adds FMT_HEADER_ONLY).
  set(DVR_HEADER_ONLY_INCLUDE ${DVR_SYSROOT}/header-only)

  # Shared libraries of the sysroot, found by the linker when a library it links
  # needs another one (libssl -> libcrypto) and by the loader under qemu.
  set(DVR_TARGET_LIBRARY_PATH
      ${DVR_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE} ${DVR_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
  string(REPLACE ";" ":" _dvr_target_library_path "${DVR_TARGET_LIBRARY_PATH}")
  foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_dvr_target_library_path}")
  endforeach()
endif()

# Size matters on the appliance's flash: let the linker drop unused sections.
# -Wcast-align speaks only on strict-alignment targets such as this one, so a
# misaligned cast fails this build even where the host build stays quiet.
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
foreach(kind EXE SHARED MODULE)
  string(APPEND CMAKE_${kind}_LINKER_FLAGS_INIT " -Wl,--gc-sections")
endforeach()

# qemu user mode: -L makes the guest loader find the toolchain's libraries,
# LD_LIBRARY_PATH the sysroot's. There is no binfmt_misc registration, so
# every target program, including children that tests start, runs through this.
# A plugin build runs nothing and may do without qemu.
if(_dvr_have_sysroot)
  find_program(DVR_QEMU qemu-mipsel REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DVR_QEMU} -L ${DVR_TOOLCHAIN_ROOT} -E LD_LIBRARY_PATH=${_dvr_target_library_path})
else()
  find_program(DVR_QEMU qemu-mipsel)
  if(DVR_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${DVR_QEMU} -L ${DVR_TOOLCHAIN_ROOT})
  endif()
endif()

# MIPS links put every symbol that code reaches through the GOT into the dynamic
# symbol table, whatever --dynamic-list says: the core would export hundreds of
# template instances (weight in flash, and symbols that plugins could bind to).
# A version script made from the same export list keeps the export set exact;
# the list's quoted names and glob patterns mean the same in both. Comments are
# dropped first, so that a brace in one cannot be taken for the list's own.
function(dvr_exports_version_script target list)
  file(READ ${list} text)
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" text "${text}")
  string(FIND "${text}" "{" open)
  math(EXPR open "${open} + 1")
  string(SUBSTRING "${text}" 0 ${open} head)
  string(SUBSTRING "${text}" ${open} -1 tail)
  set(text "${head}\n  global:${tail}")
  string(REGEX REPLACE "}[ \t\r\n]*;[ \t\r\n]*$" "  local: *;\n};\n" text "${text}")
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.version)
  # Rewritten only when it changes, and the link depends on it.
  file(WRITE ${script}.new "${text}")
  file(COPY_FILE ${script}.new ${script} ONLY_IF_DIFFERENT)
  file(REMOVE ${script}.new)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
  target_link_options(${target} PRIVATE -Wl,--version-script=${script})
endfunction()
