# Settings of the Windows build: target version, the core library that holds all
# Windows code but the entry point, and static linking.
enable_language(RC)

add_library(zelk_core STATIC)
target_link_libraries(zelk_core PUBLIC zelk_portable)
# Headers written at configure time (the version, the servers, the keys).
target_include_directories(zelk_core PUBLIC ${PROJECT_BINARY_DIR}/generated)
target_compile_definitions(zelk_core PUBLIC UNICODE _UNICODE NOMINMAX
    _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000006)
# Only Windows' known DLLs are imported the usual way (the loader takes those from the
# system folder whatever lies beside the program); the others are delay-loaded, and the
# entry point limits their search to the system folder before anything calls them.
include(ZelkDelayLoad)
zelk_delay_load_libraries(zelk_core winhttp gdiplus bcrypt crypt32)
target_link_libraries(zelk_core PUBLIC ole32 oleaut32 shell32 shlwapi uuid user32 gdi32 advapi32)

# Unused functions and data are left out of the programs.
target_compile_options(zelk_core PUBLIC -ffunction-sections -fdata-sections)

# No MinGW runtime DLL beside the program or the tests: everything is linked in.
function(zelk_link_statically target)
    target_link_options(${target} PRIVATE -static -Wl,--gc-sections)
endfunction()
