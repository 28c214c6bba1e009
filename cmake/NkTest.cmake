# Test executables: one per module, each TEST run by CTest in its own process.
find_package(GTest REQUIRED)
include(GoogleTest)

# Programs that tests start (nksh, later the bus and runtime stand-ins) must go
# through the emulator in a cross build: a program under qemu-user cannot exec
# another foreign program by itself here.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " NK_TEST_EMULATOR)
else()
  set(NK_TEST_EMULATOR "")
endif()

# Linked into every test program as objects, not through an archive: it sets
# the program's path root before main.
add_library(nktest OBJECT tests/nktest.cc)
target_include_directories(nktest PUBLIC ${CMAKE_SOURCE_DIR}/tests
                           PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/lib)
target_link_libraries(nktest PUBLIC GTest::gtest Threads::Threads PkgConfig::LUA)
target_compile_definitions(nktest PRIVATE
  NK_TEST_EMULATOR="${NK_TEST_EMULATOR}"
  NK_TEST_BIN_DIR="${CMAKE_BINARY_DIR}")
nk_warnings(nktest)

# nk_add_test(<name> SOURCES <files> [OBJECTS <object libs>] [LOCKS <resources>]
#             [TIMEOUT <seconds>] [DEPENDS <targets>])
# LOCKS names fixed resources (a port, a FIFO path) that the tests of this
# executable use: CTest never runs two tests holding the same lock at once.
function(nk_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;OBJECTS;LOCKS;DEPENDS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  set(objs)
  foreach(o ${T_OBJECTS})
    list(APPEND objs $<TARGET_OBJECTS:${o}>)
  endforeach()
  add_executable(${name} ${T_SOURCES} ${objs} $<TARGET_OBJECTS:nk_obj>)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/include
                             ${CMAKE_SOURCE_DIR}/lib ${CMAKE_SOURCE_DIR}/shell)
  target_link_libraries(${name} PRIVATE nktest GTest::gtest_main PkgConfig::LUA Threads::Threads)
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  nk_warnings(${name})
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LOCKS)
    list(JOIN T_LOCKS "," locks)
    list(APPEND props RESOURCE_LOCK "${locks}")
  endif()
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    list(APPEND props ENVIRONMENT "NK_TEST_EMULATED=1")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ${props})
endfunction()

# Every public header compiles as C99 and links against the library: the
# generated unit includes each header of include/ on its own and all together.
file(GLOB NK_PUBLIC_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/include/*.h)
set(c_units)
set(all "")
foreach(h ${NK_PUBLIC_HEADERS})
  get_filename_component(base ${h} NAME_WE)
  set(unit ${CMAKE_BINARY_DIR}/gen/c_header_${base}.c)
  file(CONFIGURE OUTPUT ${unit} CONTENT "#include \"${base}.h\"\n#include \"${base}.h\"\ntypedef int c_header_${base}_unit;\n")
  list(APPEND c_units ${unit})
  string(APPEND all "#include \"${base}.h\"\n")
endforeach()
string(APPEND all "typedef int c_header_all_unit;\n")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/gen/c_header_all.c CONTENT "${all}")
add_executable(c_api_test lib/c_api_test.c ${c_units} ${CMAKE_BINARY_DIR}/gen/c_header_all.c)
target_link_libraries(c_api_test PRIVATE nk)
set_target_properties(c_api_test PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_compile_options(c_api_test PRIVATE -pedantic-errors)
# The headers use POSIX types (timespec, clockid_t), as any C user of them does.
target_compile_definitions(c_api_test PRIVATE _POSIX_C_SOURCE=200809L)
nk_warnings(c_api_test)
add_test(NAME c_api_test COMMAND c_api_test)

# nksh exports the library's names: compare its dynamic symbol table with the
# list of exported names.
add_test(NAME nksh_exports
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DBIN=$<TARGET_FILE:nksh>
          -DLIST=${CMAKE_SOURCE_DIR}/cmake/nksh-exports.txt
          -P ${CMAKE_SOURCE_DIR}/cmake/NkCheckExports.cmake)

