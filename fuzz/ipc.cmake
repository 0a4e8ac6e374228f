dvr_add_fuzz_target(ipc LIBS dvr_ipc)
