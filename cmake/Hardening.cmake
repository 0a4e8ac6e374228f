# The hardening a Debian package carries, for every binary of ours on both
# targets: stack protector, fortified libc calls, read-only relocations bound
# at start (the loader resolves everything before main, as the core's own
# dlopen of a plugin does), position-independent executables. Plugins built
# against the installed SDK choose for themselves.
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
add_compile_options(-fstack-protector-strong)
# Fortification needs optimisation (a Debug build would only warn), and the
# sanitizers check the same calls themselves.
if(DVR_SANITIZE STREQUAL "")
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()
add_link_options(-Wl,-z,relro -Wl,-z,now)
