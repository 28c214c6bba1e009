# Installing and packaging.
#
#   cmake --install <build> [--prefix DIR]   (default prefix /usr/local)
#
# installs the programs and their manual pages, libnk.so (with its SONAME)
# and libnk.a, the public headers in include/nk, lib/pkgconfig/nk.pc and the
# CMake package nk (find_package(nk): targets nk::nk and nk::nk_static).
# `cpack -G DEB` in the build folder makes three Debian packages for the
# architecture built for (amd64, or armhf in the cross build):
#   nksh       the programs and their manual pages
#   libnk0     the shared library
#   libnk-dev  the headers, the static library, nk.pc and the CMake package
include(CMakePackageConfigHelpers)

# ---- the programs and their manual pages --------------------------------------
set(NK_INSTALL_PROGRAMS nksh nkbus nkrun)
if(MOSQUITTO_FOUND)
  list(APPEND NK_INSTALL_PROGRAMS nkbridge nkfleet)
endif()
install(TARGETS ${NK_INSTALL_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT shell)

# Compressed as Debian keeps them (-n: no name or time stamp inside).
set(NK_MAN_PAGES)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
foreach(page nksh nkbus nkrun)
  set(gz ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/docs/man/${page}.1 > ${gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page}.1
    COMMENT "manual page ${page}(1)" VERBATIM)
  list(APPEND NK_MAN_PAGES ${gz})
endforeach()
add_custom_target(nk_man ALL DEPENDS ${NK_MAN_PAGES})
install(FILES ${NK_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT shell)

# ---- the library ----------------------------------------------------------------
# The headers include each other by plain name: they go into one folder of
# their own, which nk.pc and the CMake targets put on the include path.
set(NK_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/nk)
set(NK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/nk)
file(GLOB NK_INSTALL_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/include/*.h)

install(TARGETS nk_shared EXPORT nkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
install(TARGETS nk EXPORT nkTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${NK_INSTALL_HEADERS} DESTINATION ${NK_INSTALL_INCLUDEDIR} COMPONENT dev)

install(CODE "
  set(NK_PC_TEMPLATE \"${CMAKE_SOURCE_DIR}/cmake/nk.pc.in\")
  set(NK_PC_VERSION \"${PROJECT_VERSION}\")
  set(NK_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(NK_PC_INCLUDEDIR \"${NK_INSTALL_INCLUDEDIR}\")
  include(\"${CMAKE_SOURCE_DIR}/cmake/NkInstallPc.cmake\")" COMPONENT dev)

install(EXPORT nkTargets NAMESPACE nk:: DESTINATION ${NK_INSTALL_CMAKEDIR} COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/nkConfig.cmake.in
  ${CMAKE_BINARY_DIR}/gen/nkConfig.cmake INSTALL_DESTINATION ${NK_INSTALL_CMAKEDIR})
# Before 1.0 a new minor version may change the interface.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/gen/nkConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/gen/nkConfig.cmake ${CMAKE_BINARY_DIR}/gen/nkConfigVersion.cmake
  DESTINATION ${NK_INSTALL_CMAKEDIR} COMPONENT dev)

# ---- Debian packages ------------------------------------------------------------
# The architecture is the one of the code built, not of the build machine.
set(NK_DEB_ARCH "" CACHE STRING "Debian architecture of the packages (default: the compiler's)")
if(NOT NK_DEB_ARCH)
  set(arch_of_x86_64-linux-gnu amd64)
  set(arch_of_i386-linux-gnu i386)
  set(arch_of_arm-linux-gnueabihf armhf)
  set(arch_of_aarch64-linux-gnu arm64)
  set(NK_DEB_ARCH_USED "${arch_of_${CMAKE_C_LIBRARY_ARCHITECTURE}}")
  if(NOT NK_DEB_ARCH_USED AND NOT CMAKE_CROSSCOMPILING)
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE NK_DEB_ARCH_USED
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
else()
  set(NK_DEB_ARCH_USED "${NK_DEB_ARCH}")
endif()
set(NK_DEB_MAINTAINER "Orvalin framework maintainers <maintainers@orvalin.example>"
    CACHE STRING "Maintainer field of the Debian packages")

# The programs carry the library whole: nksh does not need libnk0.
set(NK_DEB_SHELL_DEPENDS libc6 libgcc-s1 libstdc++6 liblua5.2-0)
if(LIBEDIT_FOUND)
  list(APPEND NK_DEB_SHELL_DEPENDS libedit2)
endif()
if(MOSQUITTO_FOUND)
  list(APPEND NK_DEB_SHELL_DEPENDS libmosquitto1)
endif()
list(JOIN NK_DEB_SHELL_DEPENDS ", " NK_DEB_SHELL_DEPENDS)

set(CPACK_PACKAGE_NAME nk)
set(CPACK_PACKAGE_VENDOR "Orvalin")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${NK_DEB_MAINTAINER}")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
# Installed with DESTDIR under the final prefix, so that what the install step
# writes for that prefix (nk.pc) names /usr and not the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL shell lib dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${NK_DEB_ARCH_USED})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NK_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(fleet "")
if(MOSQUITTO_FOUND)
  set(fleet ", and the fleet tools nkbridge (a device's bus to an MQTT broker)\n and nkfleet (lists and drives the devices through the broker)")
endif()
set(CPACK_DEBIAN_SHELL_PACKAGE_NAME nksh)
set(CPACK_DEBIAN_SHELL_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_SHELL_PACKAGE_DEPENDS "${NK_DEB_SHELL_DEPENDS}")
set(CPACK_COMPONENT_SHELL_DESCRIPTION "operator's command shell of Orvalin devices
nksh looks inside a device's running runtime process through its message
bus: memory handles and blocks, lists, timers, events, Lua contexts and
run-time statistics; it sets and reads RTDB tags, posts events and runs
lines of Lua. The package also holds the bus server nkbus and the runtime
process nkrun${fleet}.")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libnk0)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "libc6, libgcc-s1, liblua5.2-0")
# A shlibs file for the packages with shared libraries (libnk0 only), and
# ldconfig after installing and removing them.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_LIB_DESCRIPTION "Orvalin framework support library
The library that the framework's processes are built on: logging, argument
parsing, a handle allocator and containers, the configuration file,
non-blocking sockets, the message-bus client, runtime services, timers,
events and the Lua 5.2 context scheduler.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libnk-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libnk0 (= ${PROJECT_VERSION}), liblua5.2-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Orvalin framework support library (development files)
The headers (in /usr/include/nk, included by plain name), the static
library, nk.pc for pkg-config and the CMake package nk, whose targets are
nk::nk (shared) and nk::nk_static.")

include(CPack)

# ---- tests ------------------------------------------------------------------------
# nk_add_install_tests(): the installed tree used by C and CMake projects, and
# the contents and dependencies of the Debian packages. Not in sanitizer
# builds, whose library only runs in instrumented programs.
function(nk_add_install_tests)
  if(NK_SANITIZE)
    return()
  endif()
  set(cross "")
  if(CMAKE_CROSSCOMPILING)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
    set(cross --emulator "${emulator}" --sysroot "${NK_ARM_SYSROOT}"
        --toolchain "${CMAKE_TOOLCHAIN_FILE}")
  endif()
  add_test(NAME install_test
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/install_test.sh --build ${CMAKE_BINARY_DIR}
            --cc ${CMAKE_C_COMPILER} --generator ${CMAKE_GENERATOR} --make ${CMAKE_MAKE_PROGRAM}
            ${cross})
  add_test(NAME deb_test
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/deb_test.sh --build ${CMAKE_BINARY_DIR}
            --version ${PROJECT_VERSION} --fleet $<BOOL:${MOSQUITTO_FOUND}>)
  set_tests_properties(install_test deb_test PROPERTIES LABELS packaging TIMEOUT 300)
endfunction()
