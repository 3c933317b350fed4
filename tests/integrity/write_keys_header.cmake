# cmake -DOUT=<file> -DPRIMARY=<hex> -DSECONDARY=<hex> -DDEVELOPMENT=<ON|OFF> -P this file:
# runs the configure-time key check and header generation on its own (test_keys_config.py).
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ZelkKeys.cmake)
zelk_write_public_keys_header("${OUT}" "${PRIMARY}" "${SECONDARY}" "${DEVELOPMENT}")
