# What the ARM cross builds share; included by cmake/armhf-toolchain.cmake (32-bit ARM
# hard-float, the supervision unit) and cmake/arm64-toolchain.cmake (64-bit ARM, newer units),
# which set before including it:
#   QRM_CROSS_TRIPLET    the GNU triplet: the cross compiler's prefix and the multiarch folder
#   QRM_CROSS_PROCESSOR  CMAKE_SYSTEM_PROCESSOR
#   QRM_CROSS_QEMU       the qemu-user emulator that runs the target's programs here
#   QRM_CROSS_ARCH       the Debian architecture (armhf, arm64)
#
# The build uses Debian's cross compiler (g++-TRIPLET) and Debian's libraries of the target
# architecture installed through multiarch in /usr/lib/TRIPLET. scripts/cross-test.sh installs
# the packages, prepares the sysroot and runs the suite; by hand:
#
#   scripts/cross-sysroot.sh build-armhf/sysroot armhf
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# Where things come from:
#   - jsoncpp, GoogleTest: the target's -dev packages (Multi-Arch: same), found by pkg-config and
#     find_package under /usr/lib/TRIPLET.
#   - net-snmp: the target's libsnmp-dev cannot be installed next to the build machine's, so it
#     is unpacked into QRM_CROSS_SYSROOT (default: <build dir>/sysroot) by
#     scripts/cross-sysroot.sh.
#   - Boost: header-only use; the headers in /usr/include are the same for every architecture.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${QRM_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${QRM_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QRM_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QRM_CROSS_TRIPLET})

# GCC notes on ARM that the passing of some arguments changed in GCC 7.1 (32-bit) and 9.1
# (64-bit) (-Wpsabi). Only code mixed with objects from older compilers is concerned;
# everything here is built by one GCC.
set(CMAKE_C_FLAGS_INIT -Wno-psabi)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Runs the target's programs here: gtest_discover_tests at build time, and every test under
# ctest. The dynamic loader and libc must come from the same glibc build (they share private
# structures: a loader from one build with the libc of another crashes in thread creation).
# -L makes the loader the cross toolchain's (libc6-ARCH-cross, in /usr/TRIPLET), and
# LD_LIBRARY_PATH makes libc, libstdc++ and libgcc_s the ones beside it; without it the loader
# finds the multiarch libc6:ARCH in /lib/TRIPLET through ld.so.cache, which is a different
# build. Every other library (jsoncpp, net-snmp, OpenSSL) resolves from the multiarch folder
# /usr/lib/TRIPLET, where the target's runtime packages are installed.
set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/${QRM_CROSS_QEMU} -L /usr/${QRM_CROSS_TRIPLET}
    -E LD_LIBRARY_PATH=/usr/${QRM_CROSS_TRIPLET}/lib)

# Libraries and headers: the target's multiarch folders and the sysroot are searched as
# ordinary prefixes (CMAKE_LIBRARY_ARCHITECTURE selects lib/TRIPLET); programs (pkg-config, the
# emulator) are the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

get_property(_qrm_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _qrm_in_try_compile)
  set(QRM_CROSS_SYSROOT "${CMAKE_BINARY_DIR}/sysroot"
      CACHE PATH "${QRM_CROSS_ARCH} net-snmp development files unpacked by scripts/cross-sysroot.sh")
  if(NOT EXISTS "${QRM_CROSS_SYSROOT}/usr/include/net-snmp/net-snmp-config.h")
    message(FATAL_ERROR
      "no ${QRM_CROSS_ARCH} net-snmp headers in ${QRM_CROSS_SYSROOT}: run "
      "scripts/cross-sysroot.sh ${QRM_CROSS_SYSROOT} ${QRM_CROSS_ARCH} first "
      "(scripts/cross-test.sh does)")
  endif()

  # pkg-config sees the target's .pc files only, never the build machine's
  # (/usr/lib/x86_64-linux-gnu/pkgconfig, /usr/lib/pkgconfig). Set here rather than by the
  # calling script so that a re-configure started by a plain `cmake --build` sees the same.
  set(ENV{PKG_CONFIG_LIBDIR}
      "${QRM_CROSS_SYSROOT}/usr/lib/${QRM_CROSS_TRIPLET}/pkgconfig:/usr/lib/${QRM_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
  unset(ENV{PKG_CONFIG_SYSROOT_DIR})
endif()
