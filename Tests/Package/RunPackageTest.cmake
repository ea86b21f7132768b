# Configures a fresh copy of the library, installs it into a scratch prefix, then
# builds a small application against it twice: through find_package and through
# pkg-config. Run with cmake -P.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
    endif()
    set(LAST_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/lib -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=${prefix}
    -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_BUILD_DEMO=OFF)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/lib)
run(${CMAKE_COMMAND} --install ${WORK_DIR}/lib)

if(EXISTS ${prefix}/include/Quorvel/detail)
    message(FATAL_ERROR "internal headers were installed")
endif()

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer)
message(STATUS "find_package consumer: ${LAST_OUTPUT}")

file(GLOB_RECURSE pc_files ${prefix}/*/Quorvel.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
execute_process(COMMAND pkg-config --cflags --libs Quorvel OUTPUT_VARIABLE flags RESULT_VARIABLE rc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know Quorvel")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run(c++ ${CONSUMER_DIR}/main.cpp -o ${WORK_DIR}/consumer-pc ${flags})
run(${WORK_DIR}/consumer-pc)
message(STATUS "pkg-config consumer: ${LAST_OUTPUT}")
