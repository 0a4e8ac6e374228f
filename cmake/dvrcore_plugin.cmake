# dvrcore_add_plugin(NAME SOURCES...): a plugin module shaped as the core loads
# it. Used for the plugins shipped with the core and, installed beside
# DvrCoreSDKConfig.cmake, by plugin authors; needs the DvrCore::sdk target.
#
# - NAME.so, no "lib" prefix: the core picks up files ending in ".so".
# - Hidden visibility: only the entry points marked OX_PLUGIN_EXPORT are
#   exported, so two plugins never bind to each other's inline or helper code.
# - Undefined symbols stay allowed (no -z defs): the helpers the core exports
#   (GetCore, the store, the encryptor...) are resolved when the core loads it.
function(dvrcore_add_plugin name)
  if(NOT ARGN)
    message(FATAL_ERROR "dvrcore_add_plugin(${name}): no sources")
  endif()
  find_package(Threads REQUIRED)
  add_library(${name} MODULE ${ARGN})
  target_link_libraries(${name} PRIVATE DvrCore::sdk Threads::Threads)
  set_target_properties(${name} PROPERTIES
    PREFIX "" SUFFIX ".so"
    POSITION_INDEPENDENT_CODE ON
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()
