# Stages the manual's sources, converts the project and contents files to the
# manual's code page and compiles the project with chmcmd.
#   cmake -DSOURCE=dir -DSTAGE=dir -DPROJECT_FILE=x.hhp -DOUTPUT=file.chm
#         -DCHMCMD=path [-DICONV=path] -P compile-manual.cmake
file(REMOVE_RECURSE ${STAGE})
file(COPY ${SOURCE}/ DESTINATION ${STAGE})

if(ICONV)
    file(GLOB project_files ${SOURCE}/*.hhp ${SOURCE}/*.hhc ${SOURCE}/*.hhk)
    foreach(file IN LISTS project_files)
        get_filename_component(name ${file} NAME)
        execute_process(COMMAND ${ICONV} -f UTF-8 -t GBK ${file}
                        OUTPUT_FILE ${STAGE}/${name}
                        RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR "${name} holds text that GBK cannot represent")
        endif()
    endforeach()
endif()

execute_process(COMMAND ${CHMCMD} ${PROJECT_FILE}
                WORKING_DIRECTORY ${STAGE}
                OUTPUT_VARIABLE log
                ERROR_VARIABLE log
                RESULT_VARIABLE status)
# chmcmd exits with 0 even when it reports a broken link or an undefined
# anchor (it only warns about them); a manual with either is not one to ship.
if(NOT status EQUAL 0 OR log MATCHES "(^|\n)Error" OR log MATCHES "couldn't find it on disk|does not exist")
    message(FATAL_ERROR "chmcmd failed:\n${log}")
endif()

file(STRINGS ${STAGE}/${PROJECT_FILE} compiled REGEX "^Compiled file=")
string(REGEX REPLACE "^Compiled file=" "" compiled "${compiled}")
string(STRIP "${compiled}" compiled)
execute_process(COMMAND ${CMAKE_COMMAND} -E copy ${STAGE}/${compiled} ${OUTPUT}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "chmcmd wrote no ${compiled}")
endif()
