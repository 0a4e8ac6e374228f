# Our AES-128-CBC (through the transformed format) and SHA-256 against OpenSSL,
# with and without its hardware paths (OpenSSL is used here only).
find_package(OpenSSL REQUIRED)
dvr_add_bench(bench_crypto SOURCES ${CMAKE_CURRENT_LIST_DIR}/crypto.cpp LIBS dvr_crypto OpenSSL::Crypto)
