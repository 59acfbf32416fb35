# Cross build for arm-linux-gnueabihf with Debian's cross compilers (crossbuild-essential-*) and the
# target's libraries installed through multiarch (scripts/cross.sh installs both).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# The unit tests run under the user-mode emulator; the target's loader and libraries are where
# multiarch installs them, so the emulator needs no prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
