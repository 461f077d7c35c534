# Cross build for the supervision unit: 32-bit ARM hard-float (Debian armhf), with Debian's
# cross compiler (g++-arm-linux-gnueabihf) and Debian's armhf libraries installed through
# multiarch in /usr/lib/arm-linux-gnueabihf. Binaries run here under qemu-arm (qemu-user).
#
#   scripts/armhf-sysroot.sh build-armhf/sysroot
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# scripts/cross-test.sh does both, installs the packages and runs the suite.
#
# Where things come from:
#   - jsoncpp, GoogleTest: the armhf -dev packages (Multi-Arch: same), found by pkg-config and
#     find_package under /usr/lib/arm-linux-gnueabihf.
#   - net-snmp: the armhf libsnmp-dev cannot be installed next to the amd64 one, so it is unpacked
#     into QRM_ARMHF_SYSROOT (default: <build dir>/sysroot) by scripts/armhf-sysroot.sh.
#   - Boost: header-only use; the headers in /usr/include are the same for every architecture.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QRM_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${QRM_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QRM_ARMHF_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QRM_ARMHF_TRIPLET})

# GCC notes on ARM that the passing of some std:: iterators changed in GCC 7.1 (-Wpsabi). Only
# code mixed with objects from GCC 6 or older is concerned; everything here is built by GCC 12.
set(CMAKE_C_FLAGS_INIT -Wno-psabi)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Runs armhf programs here: gtest_discover_tests at build time, and every test under ctest.
# The dynamic loader and libc must come from the same glibc build (they share private
# structures: a loader from one build with the libc of another crashes in thread creation).
# -L makes /lib/ld-linux-armhf.so.3 the cross toolchain's loader (libc6-armhf-cross), and
# LD_LIBRARY_PATH makes libc, libstdc++ and libgcc_s the ones beside it; without it the loader
# finds the multiarch libc6:armhf in /lib/arm-linux-gnueabihf through ld.so.cache, which is a
# different build. Every other library (jsoncpp, net-snmp, OpenSSL) resolves from the multiarch
# folder /usr/lib/arm-linux-gnueabihf, where the armhf runtime packages are installed.
set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/qemu-arm -L /usr/${QRM_ARMHF_TRIPLET}
    -E LD_LIBRARY_PATH=/usr/${QRM_ARMHF_TRIPLET}/lib)

# Libraries and headers: the armhf multiarch folders and the sysroot are searched as ordinary
# prefixes (CMAKE_LIBRARY_ARCHITECTURE selects lib/arm-linux-gnueabihf); programs (pkg-config,
# the emulator) are the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

get_property(_qrm_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _qrm_in_try_compile)
  set(QRM_ARMHF_SYSROOT "${CMAKE_BINARY_DIR}/sysroot"
      CACHE PATH "armhf net-snmp development files unpacked by scripts/armhf-sysroot.sh")
  if(NOT EXISTS "${QRM_ARMHF_SYSROOT}/usr/include/net-snmp/net-snmp-config.h")
    message(FATAL_ERROR
      "no armhf net-snmp headers in ${QRM_ARMHF_SYSROOT}: run "
      "scripts/armhf-sysroot.sh ${QRM_ARMHF_SYSROOT} first (scripts/cross-test.sh does)")
  endif()

  # pkg-config sees the armhf .pc files only, never the build machine's
  # (/usr/lib/x86_64-linux-gnu/pkgconfig, /usr/lib/pkgconfig). Set here rather than by the
  # calling script so that a re-configure started by a plain `cmake --build` sees the same.
  set(ENV{PKG_CONFIG_LIBDIR}
      "${QRM_ARMHF_SYSROOT}/usr/lib/${QRM_ARMHF_TRIPLET}/pkgconfig:/usr/lib/${QRM_ARMHF_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
  unset(ENV{PKG_CONFIG_SYSROOT_DIR})
endif()
