# Debian packages of the two install components (scripts/package runs CPack):
#   dvrcore_<version>_<arch>.deb      the appliance tree
#   dvrcore-sdk_<version>_<arch>.deb  the plugin-author kit
# Both install under /opt/dvrcore, the layout the parent daemon and the SDK's
# own files expect; plugin authors point CMAKE_PREFIX_PATH / PKG_CONFIG_PATH
# there (README.md, "Packages").

# Run again by CPack on the staged trees (CPACK_PRE_BUILD_SCRIPTS below).
if(CPACK_TEMPORARY_DIRECTORY)
  # What Debian wants beside every package, outside the /opt tree:
  # /usr/share/doc/<package>/{copyright,changelog.gz} and the lintian
  # overrides for the deliberate /opt layout.
  # Each package's staged tree is found by the program only it holds.
  file(GLOB_RECURSE _dvr_programs ${CPACK_TEMPORARY_DIRECTORY}/dvrcore ${CPACK_TEMPORARY_DIRECTORY}/dvrcore-check)
  list(FILTER _dvr_programs INCLUDE REGEX "/opt/dvrcore/bin/[^/]+$")
  foreach(_dvr_program ${_dvr_programs})
    get_filename_component(_dvr_root ${_dvr_program}/../../../.. ABSOLUTE)
    get_filename_component(_dvr_name ${_dvr_program} NAME)
    if(_dvr_name STREQUAL "dvrcore")
      set(_dvr_package ${CPACK_DEBIAN_APPLIANCE_PACKAGE_NAME})
    else()
      set(_dvr_package ${CPACK_DEBIAN_SDK_PACKAGE_NAME})
    endif()
    set(_dvr_doc ${_dvr_root}/usr/share/doc/${_dvr_package})
    file(MAKE_DIRECTORY ${_dvr_doc} ${_dvr_root}/usr/share/lintian/overrides)
    file(COPY_FILE ${CPACK_DVR_DEBIAN_DIR}/copyright ${_dvr_doc}/copyright)
    file(COPY_FILE ${CPACK_DVR_DEBIAN_DIR}/changelog.gz ${_dvr_doc}/changelog.gz)
    set(_dvr_overrides "# The parent daemon and the SDK's own files expect the tree under /opt/dvrcore.\n"
        "${_dvr_package}: dir-or-file-in-opt [opt/dvrcore/*]\n")
    if(EXISTS ${_dvr_root}/opt/dvrcore/lib/qemu-mipsel/libz.so.1)
      # The target's zlib, for running the appliance programs under qemu on a
      # development host (whose cross toolchain has none); never loaded on the appliance.
      list(APPEND _dvr_overrides "${_dvr_package}: embedded-library zlib [opt/dvrcore/lib/qemu-mipsel/libz.so.1]\n")
    endif()
    file(WRITE ${_dvr_root}/usr/share/lintian/overrides/${_dvr_package} ${_dvr_overrides})
  endforeach()
  file(GLOB_RECURSE _dvr_staged LIST_DIRECTORIES TRUE ${CPACK_TEMPORARY_DIRECTORY}/*)
  foreach(_dvr_path ${CPACK_TEMPORARY_DIRECTORY} ${_dvr_staged})
    if(IS_DIRECTORY ${_dvr_path} AND NOT IS_SYMLINK ${_dvr_path})
      file(CHMOD ${_dvr_path} DIRECTORY_PERMISSIONS
           OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL appliance sdk)
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/dvrcore)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# No debug information in the packages; the dynamic symbols plugins bind to stay.
set(CPACK_STRIP_FILES ON)

# Modes independent of the packager's umask: install rules give files theirs,
# but the folders they make on the way follow the umask, so this file runs
# again inside CPack, on the staged trees (above), and sets them to 0755.
# CPack writes every entry as root:root.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_FILE})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_PACKAGE_VENDOR "dvrcore developers")
# The team that answers for the packages: a release build sets its own
# address (-DDVR_PACKAGE_MAINTAINER=...), which must receive mail.
set(DVR_PACKAGE_MAINTAINER "dvrcore maintainers <dvrcore-maintainers@example.com>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${DVR_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")

# copyright and changelog.gz, copied into the staged trees by the script above.
set(CPACK_DVR_DEBIAN_DIR ${CMAKE_BINARY_DIR}/debian)
set(DVR_PACKAGE_SOURCE dvrcore)
file(MAKE_DIRECTORY ${CPACK_DVR_DEBIAN_DIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CPACK_DVR_DEBIAN_DIR}/copyright COPYONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CPACK_DVR_DEBIAN_DIR}/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${CPACK_DVR_DEBIAN_DIR}/changelog OUTPUT_FILE ${CPACK_DVR_DEBIAN_DIR}/changelog.gz
  COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_APPLIANCE_PACKAGE_NAME dvrcore)
set(CPACK_DEBIAN_APPLIANCE_PACKAGE_SECTION video)
set(CPACK_DEBIAN_APPLIANCE_DESCRIPTION "core process of the video management and recording server
The core of the appliance's video server. Started by the parent daemon, it
hosts plugins (cameras, recording and replay, alarms, point-of-sale and
serial data, logs) and moves everything between them as typed events.
.
Installs /opt/dvrcore/bin/dvrcore, the log plugin in bin/plugins/, an empty
bin/protected-plugins/, the default core.xml and product.xml in
share/dvrcore/ to copy into the core's working directory, and the manual
page dvrcore(1) in share/man/man1/.")

set(CPACK_DEBIAN_SDK_PACKAGE_NAME dvrcore-sdk)
set(CPACK_DEBIAN_SDK_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SDK_DESCRIPTION "plugin SDK for the dvrcore video server
Headers, the CMake package DvrCoreSDK (dvrcore_add_plugin), the pkg-config
file dvrcore-sdk, the appliance's cross toolchain file, the plugin checker
dvrcore-check, the plugin guide and an example plugin.
.
Installed under /opt/dvrcore: use -DCMAKE_PREFIX_PATH=/opt/dvrcore or
PKG_CONFIG_PATH=/opt/dvrcore/lib/pkgconfig. The core itself is not needed.")
# What a plugin build uses; the headers need no library of ours.
set(CPACK_DEBIAN_SDK_PACKAGE_RECOMMENDS "g++, cmake (>= 3.16) | pkg-config")
set(CPACK_DEBIAN_SDK_PACKAGE_SUGGESTS "g++-mipsel-linux-gnu, qemu-user")

if(NOT CMAKE_CROSSCOMPILING)
  # The host's own packages: dpkg-shlibdeps (dpkg-dev) finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
elseif(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "mipsel-linux-gnu")
  # No mipsel dpkg database here to ask: what the appliance binaries link
  # (fmt and Boost are header-only there), at the cross toolchain's versions.
  # tests/packaging/check compares this with their NEEDED entries.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE mipsel)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6 (>= 2.36), libgcc-s1 (>= 3.0), libstdc++6 (>= 12), zlib1g (>= 1:1.2.0)")
else()
  message(STATUS "Packaging: no Debian architecture known for ${CMAKE_LIBRARY_ARCHITECTURE}")
endif()

include(CPack)
