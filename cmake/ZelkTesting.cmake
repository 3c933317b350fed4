# Test harness. GoogleTest is built from Debian's sources with the project's own
# compiler. Under the cross build every test program runs in Wine: a prefix inside
# the build tree, initialised once, with a persistent wineserver and an Xvfb
# display kept up for the whole run by the "wine" fixture.

set(ZELK_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${ZELK_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

if(WIN32)
    set(ZELK_WINE_DIR ${PROJECT_BINARY_DIR}/wine)
    set(ZELK_WINEPREFIX ${ZELK_WINE_DIR}/prefix CACHE PATH "Wine prefix of the tests")
    foreach(runner wine-run wine-ctest)
        configure_file(${PROJECT_SOURCE_DIR}/tools/${runner}.in ${PROJECT_BINARY_DIR}/${runner}
                       @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                              GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endforeach()

    add_test(NAME wine_session_start
             COMMAND ${PROJECT_SOURCE_DIR}/tools/wine-session start ${PROJECT_BINARY_DIR}/wine-run)
    set_tests_properties(wine_session_start PROPERTIES FIXTURES_SETUP wine)
    add_test(NAME wine_session_stop
             COMMAND ${PROJECT_SOURCE_DIR}/tools/wine-session stop ${PROJECT_BINARY_DIR}/wine-run)
    set_tests_properties(wine_session_stop PROPERTIES FIXTURES_CLEANUP wine)
endif()

# zelk_add_test(<name> <sources>...): a GoogleTest program over the core library,
# run under Wine in the cross build.
function(zelk_add_test name)
    add_executable(${name} ${ARGN})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    if(WIN32)
        target_link_libraries(${name} PRIVATE zelk_core zelk_frame_trace_off GTest::gtest_main)
        zelk_link_statically(${name})
        set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/wine-ctest)
    else()
        target_link_libraries(${name} PRIVATE zelk_portable GTest::gtest_main)
    endif()
    add_test(NAME ${name} COMMAND ${name})
    if(WIN32)
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
    endif()
endfunction()

# zelk_add_process_test(<name> <pytest file or folder>): drives Zelk.exe itself.
function(zelk_add_process_test name path)
    add_test(NAME ${name}
             COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider ${path}
             WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
    set_tests_properties(${name} PROPERTIES
        FIXTURES_REQUIRED wine
        RESOURCE_LOCK zelk_processes
        ENVIRONMENT "ZELK_BUILD_DIR=${PROJECT_BINARY_DIR};ZELK_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
