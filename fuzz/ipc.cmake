# Parent channel framing: the reader is a header template, the identity
# splitting lives in dvr_ipc.
dvr_add_fuzz_target(ipc LIBS dvr_ipc)
if(DVR_BUILD_FUZZ)
  # Coverage feedback from the identity splitting too, not only from the harness.
  target_compile_options(dvr_ipc PRIVATE -fsanitize=fuzzer-no-link)
endif()
