# Sanitizer and fuzzing instrumentation for every target of the build.
#
# VOXTRAIL_SANITIZE  sanitizers as the compiler names them, separated by commas or
#                    semicolons, e.g. "address,undefined". A finding of any of them stops
#                    the program (-fno-sanitize-recover), so a test that triggers one fails.
# VOXTRAIL_FUZZ      adds libFuzzer's coverage instrumentation (clang only); the fuzz
#                    programs themselves link libFuzzer in fuzz/CMakeLists.txt.
#
# Run-time options come from the environment (ASAN_OPTIONS, UBSAN_OPTIONS, LSAN_OPTIONS);
# scripts/test-asan.sh sets the ones `make test-asan` uses.

if(VOXTRAIL_SANITIZE)
    string(REPLACE "," ";" _voxtrail_sanitizers "${VOXTRAIL_SANITIZE}")
    list(TRANSFORM _voxtrail_sanitizers STRIP)
    list(REMOVE_ITEM _voxtrail_sanitizers "")
    list(JOIN _voxtrail_sanitizers "," _voxtrail_sanitize_list)
    message(STATUS "Sanitizers for every target: ${_voxtrail_sanitize_list}")

    set(_voxtrail_sanitize_flags
        -fsanitize=${_voxtrail_sanitize_list}
        -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
    add_compile_options(${_voxtrail_sanitize_flags})
    add_link_options(-fsanitize=${_voxtrail_sanitize_list})
    if("address" IN_LIST _voxtrail_sanitizers)
        # Finds returns of references to locals and uses of objects after their scope.
        add_compile_options(-fsanitize-address-use-after-scope)
    endif()
endif()

if(VOXTRAIL_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "VOXTRAIL_FUZZ needs clang (libFuzzer): configure with "
                            "CMAKE_C_COMPILER=clang CMAKE_CXX_COMPILER=clang++, or run `make fuzz`")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
