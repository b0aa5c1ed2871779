# Cross-compiling for 64-bit ARM Linux, against the arm64 Python 3.13 that
# make test-aarch64 and make wheel-aarch64 unpack into build/aarch64/sysroot.
# The compiler is Debian's cross GCC, unless CXX names another (make
# wheel-aarch64 gives zig's).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
if(NOT DEFINED ENV{CXX})
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
endif()

get_filename_component(_aarch64 "${CMAKE_CURRENT_LIST_DIR}/../build/aarch64" ABSOLUTE)
# The interpreter that CMake asks is the build machine's; the headers must be
# the target's.
set(Python_INCLUDE_DIR "${_aarch64}/sysroot/usr/include/python3.13" CACHE PATH "")
set(PYTHON_MODULE_EXTENSION ".cpython-313-aarch64-linux-gnu.so" CACHE INTERNAL "")
# Debian's pyconfig.h includes <aarch64-linux-gnu/python3.13/pyconfig.h>:
# build/aarch64/include holds only that folder, and is searched last, so
# that no header of the sysroot's C library takes the compiler's place.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${_aarch64}/include")
# CTest runs the test programs through qemu.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${_aarch64}/sysroot")
