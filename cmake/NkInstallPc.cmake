# Run by the install step: writes nk.pc for the prefix installed to, which
# `cmake --install --prefix` and CPack choose only then. Set before inclusion:
# NK_PC_TEMPLATE, NK_PC_VERSION and the install folders NK_PC_LIBDIR and
# NK_PC_INCLUDEDIR (relative to the prefix, or absolute).
set(NK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(libdir "${NK_PC_LIBDIR}")
if(NOT IS_ABSOLUTE "${libdir}")
  set(libdir "${CMAKE_INSTALL_PREFIX}/${libdir}")
  set(NK_PC_LIBDIR "\${prefix}/${NK_PC_LIBDIR}")
endif()
if(NOT IS_ABSOLUTE "${NK_PC_INCLUDEDIR}")
  set(NK_PC_INCLUDEDIR "\${prefix}/${NK_PC_INCLUDEDIR}")
endif()
set(out "$ENV{DESTDIR}${libdir}/pkgconfig/nk.pc")
message(STATUS "Installing: ${out}")
configure_file("${NK_PC_TEMPLATE}" "${out}" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${libdir}/pkgconfig/nk.pc")
