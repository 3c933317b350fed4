# The version Zelk.exe carries. Its version resource (the file's properties), the first
# line of every run's log and the "Installed apps" entry all show this one value: the
# project version, unless a publisher sets ZELK_VERSION when configuring.
set(ZELK_VERSION ${PROJECT_VERSION} CACHE STRING
    "Version of Zelk.exe: one to four dot-separated numbers from 0 to 65535")

if(NOT ZELK_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "ZELK_VERSION must be one to four dot-separated numbers, not "
                        "'${ZELK_VERSION}'")
endif()

# The version resource holds four 16-bit numbers; missing ones are 0.
string(REPLACE "." ";" parts "${ZELK_VERSION}")
set(numbers)
foreach(part IN LISTS parts)
    math(EXPR part "${part} + 0")  # no leading zeros: the resource compiler reads 08 as octal
    if(part GREATER 65535)
        message(FATAL_ERROR "ZELK_VERSION: ${part} does not fit a version resource (at most 65535)")
    endif()
    list(APPEND numbers ${part})
endforeach()
list(LENGTH numbers count)
while(count LESS 4)
    list(APPEND numbers 0)
    math(EXPR count "${count} + 1")
endwhile()
list(JOIN numbers "," ZELK_VERSION_NUMBERS)

configure_file(${PROJECT_SOURCE_DIR}/src/common/version.h.in
               ${PROJECT_BINARY_DIR}/generated/common/version.h @ONLY)
