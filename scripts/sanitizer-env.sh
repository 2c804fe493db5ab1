# Sanitizer run-time options shared by `make test-asan` and `make fuzz`; sourced, not run.
# Every finding stops the program with a stack trace; leaks are reported at exit.
# scripts/lsan-suppressions.txt names only leaks inside system libraries.

_voxtrail_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# verify_asan_link_order=0: jstream_install_check builds a program with the plain compiler
# against the installed (instrumented) library, as an outside user would; the runtime then
# comes in through the library instead of first.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1:verify_asan_link_order=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=${_voxtrail_root}/scripts/lsan-suppressions.txt:print_suppressions=0}"
unset _voxtrail_root
