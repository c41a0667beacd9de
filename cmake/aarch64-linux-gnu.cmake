# Cross build for aarch64 handsets with Debian's cross compiler (crossbuild-essential-arm64)
# against an arm64 sysroot of Debian packages (tools/sysroot-arm64.sh):
#
#   tools/sysroot-arm64.sh build-aarch64/sysroot
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DNORVO_SYSROOT=$PWD/build-aarch64/sysroot
#
# The compiler's own C and C++ development files stay in use; the sysroot supplies the
# libraries, their headers and pkg-config files. Test programs run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The toolchain file is read again for every try_compile project: pass the sysroot on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NORVO_SYSROOT)
if(NOT NORVO_SYSROOT)
  set(NORVO_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build-aarch64/sysroot")
endif()
get_filename_component(NORVO_SYSROOT "${NORVO_SYSROOT}" ABSOLUTE)
if(NOT EXISTS "${NORVO_SYSROOT}/lib/ld-linux-aarch64.so.1")
  message(FATAL_ERROR "no arm64 sysroot in ${NORVO_SYSROOT}: run tools/sysroot-arm64.sh first")
endif()
set(NORVO_SYSROOT "${NORVO_SYSROOT}" CACHE PATH "arm64 sysroot of Debian packages")

set(CMAKE_SYSROOT "${NORVO_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${NORVO_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_LIBDIR}
    "${NORVO_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${NORVO_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${NORVO_SYSROOT}")
set(ENV{PKG_CONFIG_PATH} "")

# The linker follows the libraries' own dependencies (libcurl's GnuTLS, Kerberos, ...)
# inside the sysroot; the loader finds them there under qemu -L.
foreach(dir lib/aarch64-linux-gnu usr/lib/aarch64-linux-gnu usr/lib/aarch64-linux-gnu/android)
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-rpath-link,${NORVO_SYSROOT}/${dir}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,-rpath-link,${NORVO_SYSROOT}/${dir}")
endforeach()

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${NORVO_SYSROOT}")
