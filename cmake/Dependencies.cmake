# Dependencies come from Debian packages. When cross-compiling for the
# appliance, the toolchain file points DVR_HEADER_ONLY_INCLUDE at a folder
# holding just the Boost and fmt header trees, and fmt is used header-only.
find_package(Threads REQUIRED)

add_library(dvr_deps INTERFACE)
if(CMAKE_CROSSCOMPILING AND NOT DVR_HEADER_ONLY_INCLUDE)
  message(FATAL_ERROR "No target libraries in ${DVR_SYSROOT}: run scripts/mipsel-sysroot ${DVR_SYSROOT}")
endif()
if(DVR_HEADER_ONLY_INCLUDE)
  target_include_directories(dvr_deps SYSTEM INTERFACE ${DVR_HEADER_ONLY_INCLUDE})
  target_compile_definitions(dvr_deps INTERFACE FMT_HEADER_ONLY=1)
  find_package(ZLIB REQUIRED)
  target_link_libraries(dvr_deps INTERFACE ZLIB::ZLIB Threads::Threads ${CMAKE_DL_LIBS})
else()
  find_package(Boost 1.74 REQUIRED COMPONENTS system)
  find_package(fmt 9 REQUIRED)
  find_package(ZLIB REQUIRED)
  target_link_libraries(dvr_deps INTERFACE Boost::headers Boost::system fmt::fmt ZLIB::ZLIB
                        Threads::Threads ${CMAKE_DL_LIBS})
endif()
# 32-bit MIPS has no 64-bit atomic instructions: std::atomic<uint64_t> calls
# into libatomic there. Link it wherever the toolchain needs it.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_FLAGS -std=c++20)
check_cxx_source_compiles("
  #include <atomic>
  #include <cstdint>
  std::atomic<uint64_t> counter;
  int main() { return static_cast<int>(counter.fetch_add(1)); }" DVR_ATOMIC64_BUILTIN)
unset(CMAKE_REQUIRED_FLAGS)
if(NOT DVR_ATOMIC64_BUILTIN)
  # Only recorded as needed where something uses it.
  target_link_libraries(dvr_deps INTERFACE "-Wl,--push-state,--as-needed" atomic "-Wl,--pop-state")
endif()
# Asio without deprecated interfaces, and no io_uring or other optional backends.
target_compile_definitions(dvr_deps INTERFACE BOOST_ASIO_NO_DEPRECATED)
