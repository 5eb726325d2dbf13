# keymgr_add_qtest(NAME <name> SOURCES <src>... [LIBS <lib>...] [WIDGET] [XVFB]
#                  [RESOURCE_LOCK <lock>...] [TIMEOUT <seconds>] [ENV <VAR=value>...] [ARGS <arg>...])
#
# Builds one QtTest program and registers it with ctest. Every test runs through
# tests/run-test.sh, sealed in its own /tmp, IPC and network namespaces (so never beside a
# running keymgr), with its own empty HOME and softskf store, a fixed LANG, the
# recording stubs for xdg-open and the certificate viewers first on PATH, and the paths of
# softskf and softskf-ctl in SOFTSKF_LIB and SOFTSKF_CTL. WIDGET runs it on the offscreen
# platform; XVFB runs it on a private X server (whole-program tests).
find_package(Qt5 5.15 REQUIRED COMPONENTS Test)

set(KEYMGR_TEST_ROOT "${CMAKE_BINARY_DIR}/test-run")
set(KEYMGR_LSAN_SUPPRESSIONS "${CMAKE_SOURCE_DIR}/tests/lsan.supp")

function(keymgr_test_environment out_var name)
    set(home "${KEYMGR_TEST_ROOT}/${name}/home")
    set(env
        "HOME=${home}"
        "XDG_CONFIG_HOME=${home}/.config"
        "XDG_RUNTIME_DIR=${KEYMGR_TEST_ROOT}/${name}/runtime"
        "TMPDIR=${KEYMGR_TEST_ROOT}/${name}/tmp"
        "SOFTSKF_DIR=${KEYMGR_TEST_ROOT}/${name}/store"
        "KEYMGR_TEST_DIR=${KEYMGR_TEST_ROOT}/${name}"
        "KEYMGR_STUB_LOG=${KEYMGR_TEST_ROOT}/${name}/stub-calls.log"
        "KEYMGR_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
        "KEYMGR_BINARY_DIR=${CMAKE_BINARY_DIR}"
        "LANG=en_US.UTF-8"
        "LC_ALL="
        "LANGUAGE="
        "TZ=UTC"
        "PATH=${CMAKE_SOURCE_DIR}/tests/stubs:$ENV{PATH}")
    list(APPEND env "SOFTSKF_LIB=$<TARGET_FILE:softskf>" "SOFTSKF_CTL=$<TARGET_FILE:softskf-ctl>")
    if(KEYMGR_SANITIZE)
        list(APPEND env
            "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_odr_violation=0"
            "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
            "LSAN_OPTIONS=suppressions=${KEYMGR_LSAN_SUPPRESSIONS}:print_suppressions=0")
    endif()
    set(${out_var} "${env}" PARENT_SCOPE)
endfunction()

# Registers an already-built command as a test with the same environment.
function(keymgr_register_test)
    cmake_parse_arguments(T "WIDGET;XVFB" "NAME;TIMEOUT" "COMMAND;RESOURCE_LOCK;ENV" ${ARGN})
    keymgr_test_environment(env ${T_NAME})
    if(T_WIDGET)
        list(APPEND env "QT_QPA_PLATFORM=offscreen")
    endif()
    list(APPEND env ${T_ENV})
    set(cmd "${CMAKE_SOURCE_DIR}/tests/run-test.sh")
    if(T_XVFB)
        # -noreset: a server that resets when its last client leaves refuses the next one meanwhile.
        list(APPEND cmd xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp -noreset")
    endif()
    add_test(NAME ${T_NAME} COMMAND ${cmd} ${T_COMMAND})
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}")
    if(T_RESOURCE_LOCK)
        set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
    endif()
    if(T_TIMEOUT)
        set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
    else()
        set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 300)
    endif()
endfunction()

function(keymgr_add_qtest)
    cmake_parse_arguments(T "WIDGET;XVFB" "NAME;TIMEOUT" "SOURCES;LIBS;RESOURCE_LOCK;ENV;ARGS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt5::Test keymgr_testsupport ${T_LIBS})
    set(flags)
    if(T_WIDGET)
        list(APPEND flags WIDGET)
    endif()
    if(T_XVFB)
        list(APPEND flags XVFB)
    endif()
    set(extra)
    if(T_TIMEOUT)
        list(APPEND extra TIMEOUT ${T_TIMEOUT})
    endif()
    if(T_RESOURCE_LOCK)
        list(APPEND extra RESOURCE_LOCK ${T_RESOURCE_LOCK})
    endif()
    if(T_ENV)
        list(APPEND extra ENV ${T_ENV})
    endif()
    keymgr_register_test(NAME ${T_NAME} ${flags} ${extra} COMMAND $<TARGET_FILE:${T_NAME}> ${T_ARGS})
endfunction()

# keymgr_add_fuzz_target(NAME <name> SOURCES <src>... [LIBS <lib>...] CORPUS <dir>)
#
# The fuzz entry point LLVMFuzzerTestOneInput in SOURCES is built twice: as a replay test
# over the stored corpus (always, run by ctest) and, when clang offers libFuzzer and
# KEYMGR_FUZZ is on, as a real fuzzer <name>_fuzzer.
option(KEYMGR_FUZZ "Build libFuzzer targets (needs clang)" OFF)
if(KEYMGR_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "KEYMGR_FUZZ needs clang: configure with CC=clang CXX=clang++ (make fuzz does)")
    endif()
    # The libraries the fuzzers link are instrumented as well: the coverage that guides a fuzzer is
    # that of the parser it feeds, not only of its own entry point.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
    add_custom_target(fuzzers)
endif()
function(keymgr_add_fuzz_target)
    cmake_parse_arguments(F "" "NAME;CORPUS" "SOURCES;LIBS" ${ARGN})
    add_executable(${F_NAME}_replay ${F_SOURCES} "${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp")
    target_link_libraries(${F_NAME}_replay PRIVATE ${F_LIBS})
    keymgr_register_test(NAME ${F_NAME}_replay COMMAND $<TARGET_FILE:${F_NAME}_replay> "${F_CORPUS}")
    if(KEYMGR_FUZZ)
        add_executable(${F_NAME}_fuzzer ${F_SOURCES})
        target_link_libraries(${F_NAME}_fuzzer PRIVATE ${F_LIBS})
        target_compile_options(${F_NAME}_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
        target_link_options(${F_NAME}_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
        add_dependencies(fuzzers ${F_NAME}_fuzzer)
    endif()
endfunction()
