# Delay-load import libraries. A DLL that is not one of Windows' "known DLLs" is looked
# for beside the program first, so a DLL planted in the folder that Zelk.exe was
# downloaded to would run inside Zelk before its first line if Zelk imported it the
# usual way. Delay-loaded, such a DLL is loaded at its first call instead, after the
# entry point has restricted the search to the system folder.
#
# MinGW's GNU ld has no /DELAYLOAD switch: dlltool makes a delay-load import library
# from a .def file, and the delay-load helper comes from the MinGW runtime. Debian's
# MinGW packages ship no .def files, so each one is written from the functions that
# the ordinary import library exports.

if(CMAKE_SCRIPT_MODE_FILE)
    # cmake -DNM=... -DIMPORT_LIB=... -DDLL=... -DDEF=... -P ZelkDelayLoad.cmake
    execute_process(COMMAND ${NM} -g --defined-only ${IMPORT_LIB}
                    OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    # Functions have a thunk (" T name") besides their "__imp_" pointer; data has none
    # and could not be delay-loaded anyway.
    string(REGEX MATCHALL "[0-9a-fA-F]+ T [A-Za-z_][A-Za-z0-9_@]*" thunks "${symbols}")
    set(exports "")
    foreach(thunk IN LISTS thunks)
        string(REGEX REPLACE "^[0-9a-fA-F]+ T " "" name "${thunk}")
        string(APPEND exports "    ${name}\n")
    endforeach()
    if(exports STREQUAL "")
        message(FATAL_ERROR "${IMPORT_LIB} exports no function")
    endif()
    file(WRITE ${DEF} "LIBRARY ${DLL}\nEXPORTS\n${exports}")
    return()
endif()

# zelk_delay_load_libraries(<target> <dll base names>...): <target> links the delay-load
# import libraries of those DLLs, made in the build tree.
function(zelk_delay_load_libraries target)
    set(dir ${PROJECT_BINARY_DIR}/delay-load)
    set(libraries)
    foreach(name IN LISTS ARGN)
        find_library(ZELK_IMPORT_LIBRARY_${name} ${name} REQUIRED NO_CACHE)
        set(def ${dir}/${name}.def)
        set(library ${dir}/lib${name}-delay.a)
        add_custom_command(OUTPUT ${library}
            COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DIMPORT_LIB=${ZELK_IMPORT_LIBRARY_${name}}
                    -DDLL=${name}.dll -DDEF=${def} -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
            COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --dllname ${name}.dll
                    --output-delaylib ${library}
            DEPENDS ${ZELK_IMPORT_LIBRARY_${name}} ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
            COMMENT "Delay-load import library of ${name}.dll"
            VERBATIM)
        list(APPEND libraries ${library})
    endforeach()
    add_custom_target(${target}_delay_load DEPENDS ${libraries})
    add_dependencies(${target} ${target}_delay_load)
    # The ordinary libraries follow for what they hold besides imports (GDI+'s cached
    # string formats and font families): every function is already taken from the
    # delay-load ones, which come first.
    target_link_libraries(${target} PUBLIC ${libraries} ${ARGN})
endfunction()
