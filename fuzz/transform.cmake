# Transformed images from untrusted files and crypto events.
dvr_add_fuzz_target(transform LIBS dvr_crypto)
