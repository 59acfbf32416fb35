# Cross build for arm-linux-gnueabihf with Debian's cross compilers (crossbuild-essential-*) and the
# target's libraries installed through multiarch (scripts/cross.sh installs both).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# The unit tests run under the user-mode emulator; the target's loader and libraries are where
# multiarch installs them, so the emulator needs no prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
# glibc's 64-bit time_t and file offsets on this 32-bit target, so that the clock (BOOTID) and
# the service file's times (stat) go on past January 2038. No library's interface that the
# daemon uses passes a time_t or an off_t. -Wno-psabi: GCC notes each use of a standard
# container's iterator whose passing changed in GCC 7.1, which concerns only code built by GCC 6.
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wno-psabi")
