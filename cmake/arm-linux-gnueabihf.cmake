# Cross build for 32-bit ARM (armhf). The target's Lua and GoogleTest come from
# Debian's armhf packages unpacked into NK_ARM_SYSROOT (scripts/armhf-sysroot.sh);
# the C library comes with the cross compiler. Programs run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT NK_ARM_SYSROOT)
  set(NK_ARM_SYSROOT "$ENV{NK_ARM_SYSROOT}")
endif()
if(NOT NK_ARM_SYSROOT)
  message(FATAL_ERROR "set NK_ARM_SYSROOT to the unpacked armhf packages")
endif()
set(NK_ARM_SYSROOT "${NK_ARM_SYSROOT}" CACHE PATH "unpacked armhf packages")
# The compiler checks run in projects of their own: hand the folder on.
set(ENV{NK_ARM_SYSROOT} "${NK_ARM_SYSROOT}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NK_ARM_SYSROOT)

set(CMAKE_FIND_ROOT_PATH ${NK_ARM_SYSROOT} /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config answers for the target: its .pc files, paths prefixed by the sysroot.
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${NK_ARM_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR} ${NK_ARM_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig)
# Lua's headers include a multiarch header from the triplet folder.
include_directories(SYSTEM ${NK_ARM_SYSROOT}/usr/include/arm-linux-gnueabihf)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/usr/arm-linux-gnueabihf)

# The sysroot's libraries are found at run time through the programs' own
# search path; an old-style one (DT_RPATH) also serves the libraries they load
# (libmosquitto's libssl), which the newer DT_RUNPATH does not.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--disable-new-dtags")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--disable-new-dtags")
