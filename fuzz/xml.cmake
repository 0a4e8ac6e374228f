dvr_add_fuzz_target(xml LIBS dvr_config)
