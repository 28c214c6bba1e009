# Installing and packaging.
#
#   cmake --install <build> [--prefix DIR]   (default prefix /usr/local)
#
# installs the programs and their manual pages, libnk.so (with its SONAME)
# and libnk.a, the public headers in include/nk, lib/pkgconfig/nk.pc and the
# CMake package nk (find_package(nk): targets nk::nk and nk::nk_static), and
# what a device runs from dist/: the systemd units (lib/systemd/system) and
# the files of /etc (etc/ under the prefix; /etc itself for the prefix /usr).
# `cpack -G DEB` in the build folder makes the Debian packages for the
# architecture built for (amd64, or armhf in the cross build):
#   nksh             the shell nksh and its manual page
#   orvalin-runtime  nkbus and nkrun with their units (run as the system user
#                    orvalin, which its postinst makes), /etc/orvalin/orvalin.conf,
#                    /etc/default/nkrun and the example script of
#                    /etc/orvalin/scripts (conffiles), docs/device.md
#   orvalin-bridge   nkbridge and its unit          } where libmosquitto
#   orvalin-fleet    nkfleet, the operators' console } is found
#   libnk0           the shared library
#   libnk-dev        the headers, the static library, nk.pc and the CMake package
# The maintainer scripts and conffiles lists are in dist/debian/<package>/.
include(CMakePackageConfigHelpers)

# ---- the programs and their manual pages --------------------------------------
install(TARGETS nksh RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT shell)
install(TARGETS nkbus nkrun RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
if(MOSQUITTO_FOUND)
  install(TARGETS nkbridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT bridge)
  install(TARGETS nkfleet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT fleet)
endif()

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
list(POP_FRONT NK_MAN_PAGES nksh_man)
install(FILES ${nksh_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT shell)
install(FILES ${NK_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)

# ---- a device's services and files ------------------------------------------------
set(NK_DIST ${CMAKE_SOURCE_DIR}/dist)
install(FILES ${NK_DIST}/systemd/nkbus.service ${NK_DIST}/systemd/nkrun.service
  DESTINATION lib/systemd/system COMPONENT runtime)
install(FILES ${CMAKE_SOURCE_DIR}/docs/device.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/orvalin-runtime COMPONENT runtime)
# The units name /usr/bin and /etc: under the prefix /usr (the packages) the
# files of dist/etc go to /etc, under any other prefix to its etc/.
install(CODE "
  set(etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(etc /etc)
  endif()
  file(INSTALL \"${NK_DIST}/etc/orvalin\" \"${NK_DIST}/etc/default\" DESTINATION \"\${etc}\"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)" COMPONENT runtime)
if(MOSQUITTO_FOUND)
  install(FILES ${NK_DIST}/systemd/nkbridge.service DESTINATION lib/systemd/system
    COMPONENT bridge)
endif()

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

# The programs carry the library whole: none of them needs libnk0.
set(NK_DEB_PROGRAM_DEPENDS "libc6, libgcc-s1, libstdc++6, liblua5.2-0")
set(NK_DEB_SHELL_DEPENDS "${NK_DEB_PROGRAM_DEPENDS}")
if(LIBEDIT_FOUND)
  string(APPEND NK_DEB_SHELL_DEPENDS ", libedit2")
endif()

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
set(CPACK_COMPONENTS_ALL shell runtime lib dev)
if(MOSQUITTO_FOUND)
  list(APPEND CPACK_COMPONENTS_ALL bridge fleet)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${NK_DEB_ARCH_USED})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NK_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The maintainer scripts executable whatever their mode in the checkout.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SHELL_PACKAGE_NAME nksh)
set(CPACK_DEBIAN_SHELL_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_SHELL_PACKAGE_DEPENDS "${NK_DEB_SHELL_DEPENDS}")
set(CPACK_COMPONENT_SHELL_DESCRIPTION "operator's command shell of Orvalin devices
nksh looks inside a device's running runtime process through its message
bus: memory handles and blocks, lists, timers, events, Lua contexts and
run-time statistics; it sets and reads RTDB tags, posts events and runs
lines of Lua. The bus and the runtime are in orvalin-runtime.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME orvalin-runtime)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${NK_DEB_PROGRAM_DEPENDS}, adduser")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS nksh)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${NK_DIST}/debian/orvalin-runtime/postinst
  ${NK_DIST}/debian/orvalin-runtime/prerm ${NK_DIST}/debian/orvalin-runtime/postrm
  ${NK_DIST}/debian/orvalin-runtime/conffiles)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Orvalin device services: the message bus and the runtime
nkbus, the device's message bus, and nkrun, the runtime that runs the Lua
scripts of /etc/orvalin/scripts and keeps the RTDB, as systemd services of
the system user orvalin, with the configuration file
/etc/orvalin/orvalin.conf.")

set(CPACK_DEBIAN_BRIDGE_PACKAGE_NAME orvalin-bridge)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_DEPENDS
  "${NK_DEB_PROGRAM_DEPENDS}, libmosquitto1, orvalin-runtime (= ${PROJECT_VERSION}), nksh")
set(CPACK_DEBIAN_BRIDGE_PACKAGE_CONTROL_EXTRA ${NK_DIST}/debian/orvalin-bridge/postinst
  ${NK_DIST}/debian/orvalin-bridge/prerm ${NK_DIST}/debian/orvalin-bridge/postrm)
set(CPACK_COMPONENT_BRIDGE_DESCRIPTION "Orvalin fleet bridge: a device's bus to an MQTT broker
nkbridge publishes the device's presence and tag values to an MQTT broker
and runs the shell commands that its configuration allows, as a systemd
service that starts once /etc/orvalin/orvalin.conf names a broker.")

set(CPACK_DEBIAN_FLEET_PACKAGE_NAME orvalin-fleet)
set(CPACK_DEBIAN_FLEET_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_FLEET_PACKAGE_DEPENDS "${NK_DEB_PROGRAM_DEPENDS}, libmosquitto1")
set(CPACK_COMPONENT_FLEET_DESCRIPTION "Orvalin fleet console
nkfleet lists the devices that an MQTT broker knows and runs shell commands
on them through their bridges; for the operators' machines.")

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
  # deb_test runs the packaged programs, which have no library search path:
  # under the emulator they find the target's libraries in the sysroot.
  set(emulate "")
  if(CMAKE_CROSSCOMPILING)
    set(emulate --emulator
        "${emulator} -E LD_LIBRARY_PATH=${NK_ARM_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  endif()
  add_test(NAME deb_test
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/deb_test.sh --build ${CMAKE_BINARY_DIR}
            --version ${PROJECT_VERSION} --fleet $<BOOL:${MOSQUITTO_FOUND}> ${emulate})
  set_tests_properties(install_test deb_test PROPERTIES LABELS packaging TIMEOUT 300)
  # It starts the packaged bus on the fixed port.
  set_tests_properties(deb_test PROPERTIES RESOURCE_LOCK port4242)
endfunction()
