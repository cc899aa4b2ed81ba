# Cross-builds for 64-bit ARM Linux with Debian's cross toolchain (g++-aarch64-linux-gnu) and
# the arm64 development packages installed side by side with the native ones (multiarch).
# Test programs run under qemu-user: CMake hands each of them to the emulator, and so do ctest
# and GoogleTest's discovery.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Headers are shared between architectures under /usr/include; libraries, pkg-config files
# and CMake packages live under the architecture's own directory.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")

find_program(ZEVSITE_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEVSITE_QEMU_AARCH64})
