# Cross build for the supervision unit: 32-bit ARM hard-float (Debian armhf). Binaries run here
# under qemu-arm. See cmake/cross-toolchain.cmake.
set(QRM_CROSS_ARCH armhf)
set(QRM_CROSS_TRIPLET arm-linux-gnueabihf)
set(QRM_CROSS_PROCESSOR arm)
set(QRM_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-toolchain.cmake)
