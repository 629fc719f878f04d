# Cross build for 64-bit Arm Linux with Debian's cross toolchain
# (crossbuild-essential-arm64); binaries run under qemu-user. Pointer
# authentication is switched off in the emulated CPU: emulating it is far
# slower and the code does not depend on it.
#
# ORVEX_ARM64_SYSROOT (optional): an unpacked arm64 Linux tree, such as the
# Debian tree .ci/arm64-python.sh makes. Its headers come after the cross
# compiler's own (Debian's pyconfig.h includes <aarch64-linux-gnu/python3.X/
# pyconfig.h>), and the emulator loads programs and libraries from it, so
# CMake can run the tree's Python interpreter: FindPython asks it for its
# version and extension suffix when policy CMP0190 is NEW (CMake 4.1+; pass
# -DCMAKE_POLICY_DEFAULT_CMP0190=NEW). Without it, the cross toolchain's own
# C library is the emulator's root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(ORVEX_ARM64_SYSROOT "" CACHE PATH "arm64 tree that emulated programs run in (default: the cross toolchain's C library)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVEX_ARM64_SYSROOT)
if(ORVEX_ARM64_SYSROOT)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64;-cpu;max,pauth=off;-L;${ORVEX_ARM64_SYSROOT})
  string(APPEND CMAKE_C_FLAGS_INIT " -idirafter ${ORVEX_ARM64_SYSROOT}/usr/include")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${ORVEX_ARM64_SYSROOT}/usr/include")
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64;-cpu;max,pauth=off;-L;/usr/aarch64-linux-gnu)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
