# add_subdirectory() for every direct child folder that holds a CMakeLists.txt.
# Tools, tests and benchmarks live in folders of their own; adding one needs
# no edit of a shared list. Folders named after SKIP are left out (a caller
# adds them itself, e.g. first).
function(tk52k_add_child_dirs)
    cmake_parse_arguments(D "" "" "SKIP" ${ARGN})
    file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
         ${CMAKE_CURRENT_SOURCE_DIR}/*)
    list(SORT children)
    foreach(child IN LISTS children)
        if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child}
           AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt
           AND NOT child IN_LIST D_SKIP)
            add_subdirectory(${child})
        endif()
    endforeach()
endfunction()
