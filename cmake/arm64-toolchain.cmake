# Cross build for newer units: 64-bit ARM (Debian arm64). Binaries run here under qemu-aarch64.
# See cmake/cross-toolchain.cmake.
set(QRM_CROSS_ARCH arm64)
set(QRM_CROSS_TRIPLET aarch64-linux-gnu)
set(QRM_CROSS_PROCESSOR aarch64)
set(QRM_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-toolchain.cmake)
