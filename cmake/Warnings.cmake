# Warnings for our own targets. Plugin authors get none of this imposed on them.
add_library(dvr_warnings INTERFACE)
target_compile_options(dvr_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Wno-missing-field-initializers
  $<$<BOOL:${DVR_WERROR}>:-Werror>)
