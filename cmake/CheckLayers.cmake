# Fails when a source file includes a header of a layer it may not use:
# the core includes only the core; the models the core; the writers the
# models and the core; the widgets everything below them. The tools say in
# this table which layers they build on (their link lines say the same).
# Run with -DTK52K_ROOT=<source folder>; prints each offending line.
cmake_minimum_required(VERSION 3.16)
set(layers core models export widgets)
set(allowed_src/core core)
set(allowed_src/models core models)
set(allowed_src/export core models export)
set(allowed_src/widgets core models export widgets)
set(allowed_tools/tk52k-logger core)
set(allowed_tools/tk52k-decode core)
set(allowed_tools/tk52k-sim core)
set(allowed_tools/tk52k-export core models export)

set(faults "")
foreach(area src/core src/models src/export src/widgets
             tools/tk52k-logger tools/tk52k-decode tools/tk52k-sim tools/tk52k-export)
    file(GLOB_RECURSE files ${TK52K_ROOT}/${area}/*.cpp ${TK52K_ROOT}/${area}/*.h)
    foreach(file IN LISTS files)
        file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[a-z]+/")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([a-z]+)/.*" "\\1" layer "${line}")
            if(layer IN_LIST layers AND NOT layer IN_LIST allowed_${area})
                file(RELATIVE_PATH where ${TK52K_ROOT} ${file})
                string(APPEND faults "  ${where}: ${line}\n")
            endif()
        endforeach()
        # The generated forms are widgets too.
        file(STRINGS ${file} forms REGEX "^[ \t]*#[ \t]*include[ \t]+\"ui_")
        if(forms AND NOT widgets IN_LIST allowed_${area})
            file(RELATIVE_PATH where ${TK52K_ROOT} ${file})
            string(APPEND faults "  ${where}: ${forms}\n")
        endif()
    endforeach()
endforeach()

if(faults)
    message(FATAL_ERROR "These lines include a layer above their own:\n${faults}")
endif()
