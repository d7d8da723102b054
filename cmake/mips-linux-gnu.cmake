# Big-endian 32-bit MIPS (glibc) with Debian's g++-mips-linux-gnu.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake -DCMAKE_PREFIX_PATH=PREFIX ...
#
# Libraries, headers, CMake packages and pkg-config files come only from the
# cross sysroot and from the prefixes in CMAKE_PREFIX_PATH (where
# cmake/third_party.sh installs the target's libraries), never from the host.
# Programs run under qemu-mips; a prefix's lib/ is added to their library path.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)

set(TARN_CROSS_SYSROOT /usr/mips-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${TARN_CROSS_SYSROOT} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(pkg_config_dirs ${TARN_CROSS_SYSROOT}/lib/pkgconfig)
set(library_path "")
foreach(prefix ${CMAKE_PREFIX_PATH})
  list(APPEND pkg_config_dirs ${prefix}/lib/pkgconfig ${prefix}/share/pkgconfig)
  list(APPEND library_path ${prefix}/lib)
endforeach()
string(REPLACE ";" ":" pkg_config_dirs "${pkg_config_dirs}")
string(REPLACE ";" ":" library_path "${library_path}")
set(ENV{PKG_CONFIG_LIBDIR} "${pkg_config_dirs}")
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -L ${TARN_CROSS_SYSROOT})
if(library_path)
  list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E LD_LIBRARY_PATH=${library_path})
endif()
