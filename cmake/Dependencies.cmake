# Dependencies come from Debian packages. When cross-compiling for the
# appliance, the toolchain file points DVR_HEADER_ONLY_INCLUDE at a folder
# holding just the Boost and fmt header trees, and fmt is used header-only.
find_package(Threads REQUIRED)

add_library(dvr_deps INTERFACE)
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
# Asio without deprecated interfaces, and no io_uring or other optional backends.
target_compile_definitions(dvr_deps INTERFACE BOOST_ASIO_NO_DEPRECATED)
