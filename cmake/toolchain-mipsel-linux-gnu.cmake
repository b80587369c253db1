# Cross toolchain for the camera's MIPS application processor (32-bit, little endian, glibc),
# from Debian's g++-mipsel-linux-gnu. Programs built here run on the host under qemu-mipsel
# (Debian's qemu-user) with the target's C library from /usr/mipsel-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu /usr/lib/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CAMERA_TARGET_ROOT /usr/mipsel-linux-gnu)
set(CAMERA_TARGET_EMULATOR qemu-mipsel)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CAMERA_TARGET_EMULATOR} -L ${CAMERA_TARGET_ROOT})
# The 32-bit processor has no 64-bit atomic instructions: std::atomic<int64_t> and the like
# call into libatomic.
set(CMAKE_C_STANDARD_LIBRARIES_INIT "-latomic")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-latomic")
# pkg-config finds the target's libraries only (Debian's multiarch folder), never the host's:
# a library installed for the host alone (libx265, libjpeg, libswscale) is then simply absent.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/mipsel-linux-gnu/pkgconfig:/usr/share/pkgconfig)
