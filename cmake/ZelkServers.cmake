# The built-in update servers, and where a test build's own servers and X display live.
#
# ZELK_UPDATE_SERVER_1 and ZELK_UPDATE_SERVER_2 are deployment data: a publisher sets
# its own at configure time. The defaults are loopback, so no build made from this
# repository contacts an outside host.
#
# ZELK_ISOLATED_TESTS (tools/test turns it on) makes a build tree whose tests can run
# beside another tree's: the built-in servers move to two loopback ports chosen free
# when the tree is first configured, and the tests get an X display of their own.
# The choice is kept in the cache, so later configures keep it. A plain build keeps
# the defaults.

set(ZELK_UPDATE_SERVER_1 "http://127.0.0.1:30110/updates" CACHE STRING
    "First update server (base URL without a trailing slash)")
set(ZELK_UPDATE_SERVER_2 "https://localhost:30443/updates" CACHE STRING
    "Second update server (base URL without a trailing slash)")
set(ZELK_TEST_DISPLAY ":77" CACHE STRING "X display (an Xvfb started by the tests) for Wine")
option(ZELK_ISOLATED_TESTS
       "Built-in servers on free loopback ports and an own X display, for side-by-side tests"
       OFF)

if(ZELK_ISOLATED_TESTS)
    if(NOT ZELK_ISOLATED_SETUP)
        execute_process(COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/pick_test_setup.py
                        OUTPUT_VARIABLE picked RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "cannot choose free test ports and display")
        endif()
        set(ZELK_ISOLATED_SETUP "${picked}" CACHE INTERNAL "http port;https port;display")
    endif()
    list(GET ZELK_ISOLATED_SETUP 0 http_port)
    list(GET ZELK_ISOLATED_SETUP 1 https_port)
    list(GET ZELK_ISOLATED_SETUP 2 display)
    set(ZELK_BUILT_IN_SERVER_1 "http://127.0.0.1:${http_port}/updates")
    set(ZELK_BUILT_IN_SERVER_2 "https://localhost:${https_port}/updates")
    set(ZELK_DISPLAY ":${display}")
else()
    set(ZELK_BUILT_IN_SERVER_1 "${ZELK_UPDATE_SERVER_1}")
    set(ZELK_BUILT_IN_SERVER_2 "${ZELK_UPDATE_SERVER_2}")
    set(ZELK_DISPLAY "${ZELK_TEST_DISPLAY}")
endif()

foreach(server ZELK_BUILT_IN_SERVER_1 ZELK_BUILT_IN_SERVER_2)
    if(NOT ${server} MATCHES "^https?://[^/\"\\\\]+(/[^\"\\\\]*[^/\"\\\\])?$")
        message(FATAL_ERROR "${server} must be an http or https URL without a trailing slash")
    endif()
endforeach()

# What the process tests and bench/run need to know of this tree.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/test-setup.json @ONLY CONTENT [=[
{"servers": ["@ZELK_BUILT_IN_SERVER_1@", "@ZELK_BUILT_IN_SERVER_2@"], "display": "@ZELK_DISPLAY@"}
]=])
