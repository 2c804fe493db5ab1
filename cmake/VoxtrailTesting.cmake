# voxtrail_add_test(NAME SOURCES file... LIBS target... [TIMEOUT seconds])
#
# One GoogleTest program, run by CTest as one test. Every test runs without a display
# (Qt's offscreen platform) and without a sound card (SDL's dummy driver), with its own
# settings folder so that no test reads or writes the user's settings.
set(VOXTRAIL_TEST_TIMEOUT_FACTOR 1 CACHE STRING "Every test's time limit is multiplied by this")

function(voxtrail_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 600)
    endif()
    if(VOXTRAIL_SANITIZE)
        # Instrumented code runs several times slower; the limits only catch hangs.
        math(EXPR ARG_TIMEOUT "${ARG_TIMEOUT} * 4")
    endif()
    # The coverage build (unoptimised, counting every branch) is slower still.
    math(EXPR ARG_TIMEOUT "${ARG_TIMEOUT} * ${VOXTRAIL_TEST_TIMEOUT_FACTOR}")
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock)
    if(NOT ARG_SOURCES MATCHES "main\\.cpp")
        target_link_libraries(${name} PRIVATE GTest::gtest_main)
    endif()
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    set(workdir ${CMAKE_BINARY_DIR}/test-work/${name})
    file(MAKE_DIRECTORY ${workdir}/config ${workdir}/home)
    add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${workdir})
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${ARG_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;SDL_AUDIODRIVER=dummy;XDG_CONFIG_HOME=${workdir}/config;VOXTRAIL_TEST_TMP=${workdir}")
endfunction()
