# The core's own appliance build: the plugin toolchain (cmake/sdk/, installed
# with the SDK) plus the target libraries that scripts/mipsel-sysroot unpacks
# into DVR_SYSROOT. Programs run under qemu user-mode emulation
# (CMAKE_CROSSCOMPILING_EMULATOR), so CTest runs the whole suite here.
#
#   scripts/mipsel-sysroot build-mipsel/sysroot
#   cmake -S . -B build-mipsel -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
#         -DDVR_SYSROOT=$PWD/build-mipsel/sysroot
include(${CMAKE_CURRENT_LIST_DIR}/sdk/mipsel-linux-gnu.cmake)

# try_compile projects read this file again; they get the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DVR_SYSROOT)
if(NOT DVR_SYSROOT)
  set(DVR_SYSROOT ${CMAKE_BINARY_DIR}/sysroot)
endif()
# The core and its tests need the sysroot (cmake/Dependencies.cmake stops a
# build without it); examples configured against this file alone do not.
if(EXISTS ${DVR_SYSROOT}/header-only/fmt)
  list(APPEND CMAKE_FIND_ROOT_PATH ${DVR_SYSROOT})

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
    string(APPEND CMAKE_${kind}_LINKER_FLAGS_INIT " -Wl,-rpath-link,${_dvr_target_library_path}")
  endforeach()

  # The sysroot's libraries for every target program, including children that tests start.
  find_program(DVR_QEMU qemu-mipsel REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DVR_QEMU} -L ${DVR_TOOLCHAIN_ROOT} -E LD_LIBRARY_PATH=${_dvr_target_library_path})
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
