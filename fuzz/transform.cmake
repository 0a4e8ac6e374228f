# Transformed images from untrusted files and crypto events.
dvr_add_fuzz_target(transform LIBS dvr_crypto)
if(DVR_BUILD_FUZZ)
  # Coverage feedback from the code under test, not only from the harness.
  target_compile_options(dvr_crypto PRIVATE -fsanitize=fuzzer-no-link)
endif()
