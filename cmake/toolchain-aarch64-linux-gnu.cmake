# Cross build for aarch64-linux-gnu with Debian's cross compilers (crossbuild-essential-*) and the
# target's libraries installed through multiarch (scripts/cross.sh installs both).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# The unit tests run under the user-mode emulator; the target's loader and libraries are where
# multiarch installs them, so the emulator needs no prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
