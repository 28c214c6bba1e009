# libFuzzer targets, one per parser (fuzz/fuzz_<name>.cc), with AddressSanitizer
# and UndefinedBehaviorSanitizer. A build of its own, with clang:
#
#   cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
#         -DNK_BUILD_FUZZERS=ON -DNK_BUILD_TESTS=OFF -DNK_WERROR=ON
#   cmake --build build/fuzz -j2 --target nk_fuzzers
#   fuzz/run-fuzzers.sh build/fuzz 20          # each target 20 s on a copy of its corpus
#
# The library's (and the shell's) sources are compiled again here, into object
# libraries instrumented for the fuzzer and the sanitizers; the targets of the
# ordinary build are left as they are. The programs land in <build>/fuzz/.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "NK_BUILD_FUZZERS needs clang (-DCMAKE_CXX_COMPILER=clang++)")
endif()
if(NK_SANITIZE)
  message(FATAL_ERROR "NK_BUILD_FUZZERS brings its own sanitizers: leave NK_SANITIZE empty")
endif()

set(NK_FUZZ_NAMES param config argparse shell arraycsv replace escapeseq table busroute busline)

set(_nk_fuzz_flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
# The sanitizer builds' definitions. clang 14 does not define
# __SANITIZE_ADDRESS__ (GCC does), which the allocator tests to poison free
# blocks and guard bytes inside its slabs: defined here, so that overruns
# and use after free within a slab are reported under clang as well.
set(_nk_fuzz_defs NK_SANITIZE_BUILD NK_ASAN_BUILD __SANITIZE_ADDRESS__=1)

# nk_fuzz_objects(<target> <sources>): instrumented objects, built once for
# every fuzzer.
function(nk_fuzz_objects target)
  add_library(${target} OBJECT ${ARGN})
  add_dependencies(${target} nk_buildinfo)
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR}/include
                             PRIVATE ${CMAKE_SOURCE_DIR}/lib ${CMAKE_BINARY_DIR}/gen)
  target_compile_definitions(${target} PRIVATE NK_BUILDING_LIBRARY ${_nk_fuzz_defs})
  target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link ${_nk_fuzz_flags}
                         -fno-exceptions -fno-rtti)
  target_link_libraries(${target} PUBLIC PkgConfig::LUA Threads::Threads)
  nk_warnings(${target})
endfunction()

nk_fuzz_objects(nk_fuzz_lib ${NK_SOURCES})
# The library is kept warning-free for GCC. clang also reports, in
# nksyslog.cc, the parameters of sendEmailAlert named like file-local buffers
# (-Wshadow) and, in a sanitizer build, the ptrace flag it then never reads
# (-Wunused-variable).
target_compile_options(nk_fuzz_lib PRIVATE -Wno-shadow -Wno-unused-variable)

# The shell's units, without line editing (the prompt is not fuzzed).
nk_fuzz_objects(nk_fuzz_shell shell/shell.cc shell/stats.cc shell/runtimecmds.cc
                shell/console.cc)
# stats.cc silences a GCC warning that clang does not know.
target_compile_options(nk_fuzz_shell PRIVATE -Wno-unknown-warning-option)

add_custom_target(nk_fuzzers)
foreach(name ${NK_FUZZ_NAMES})
  set(t fuzz_${name})
  set(objs $<TARGET_OBJECTS:nk_fuzz_lib>)
  if(name STREQUAL "shell")
    list(APPEND objs $<TARGET_OBJECTS:nk_fuzz_shell>)
  elseif(name STREQUAL "busline")
    # It compiles the bus client's unit into itself.
    set(objs $<FILTER:$<TARGET_OBJECTS:nk_fuzz_lib>,EXCLUDE,nkmsg>)
  endif()
  add_executable(${t} fuzz/${t}.cc ${objs})
  target_include_directories(${t} PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/lib
                             ${CMAKE_BINARY_DIR}/gen ${CMAKE_SOURCE_DIR}/fuzz
                             ${CMAKE_SOURCE_DIR}/shell ${CMAKE_SOURCE_DIR}/tools)
  target_compile_definitions(${t} PRIVATE ${_nk_fuzz_defs})
  target_compile_options(${t} PRIVATE -fsanitize=fuzzer ${_nk_fuzz_flags})
  target_link_options(${t} PRIVATE -fsanitize=fuzzer ${_nk_fuzz_flags})
  target_link_libraries(${t} PRIVATE PkgConfig::LUA Threads::Threads)
  set_target_properties(${t} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  nk_warnings(${t})
  add_dependencies(nk_fuzzers ${t})
endforeach()
# argParse ends the process on some options: its target catches exit().
target_link_options(fuzz_argparse PRIVATE -Wl,--wrap=exit)

# Every fuzzer for a short time on a copy of its corpus (no CTest):
#   cmake --build build/fuzz --target fuzz_run   [NK_FUZZ_SECONDS, default 20]
set(NK_FUZZ_SECONDS 20 CACHE STRING "seconds each fuzzer runs in fuzz_run")
add_custom_target(fuzz_run
  COMMAND ${CMAKE_SOURCE_DIR}/fuzz/run-fuzzers.sh ${CMAKE_BINARY_DIR} ${NK_FUZZ_SECONDS}
  DEPENDS nk_fuzzers
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
  USES_TERMINAL)
