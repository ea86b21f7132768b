# Sanitizer and fuzzing builds, for separate build trees (./test.sh and ./fuzz.sh
# make them under build/). Applied to every target configured after this point.
#   -DQUORVEL_SANITIZE=address,undefined    AddressSanitizer + UndefinedBehaviorSanitizer
#   -DQUORVEL_SANITIZE=thread               ThreadSanitizer
#   -DQUORVEL_BUILD_FUZZERS=ON              libFuzzer targets (clang only); the code they
#                                           reach gets coverage instrumentation
set(QUORVEL_SANITIZE "" CACHE STRING "Sanitizers for this build tree (for example address,undefined or thread)")
option(QUORVEL_BUILD_FUZZERS "Build the libFuzzer targets (needs clang)" OFF)

if(QUORVEL_SANITIZE)
    string(REPLACE ";" "," QUORVEL_SANITIZE_LIST "${QUORVEL_SANITIZE}")
    # A report ends the test at once (no recovery), with stacks worth reading.
    add_compile_options(-fsanitize=${QUORVEL_SANITIZE_LIST} -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${QUORVEL_SANITIZE_LIST})
endif()

if(QUORVEL_BUILD_FUZZERS)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "QUORVEL_BUILD_FUZZERS needs clang (libFuzzer): -DCMAKE_CXX_COMPILER=clang++")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
