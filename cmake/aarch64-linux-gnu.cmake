# Cross-compiles for 64-bit ARM Linux with Debian's aarch64-linux-gnu-gcc/g++
# (crossbuild-essential-arm64) against a Debian arm64 sysroot, which
# scripts/cross-aarch64.sh makes and passes in:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DMEDIA_AARCH64_SYSROOT=<sysroot> ...
#
# The programs are meant to run on the sysroot's release, whose C library and C++
# runtime may be older than the ones packaged with the cross compiler (Debian 11's
# glibc 2.31 and GCC 10 runtime against the compiler's glibc 2.36 and GCC 12). So only
# the compiler proper comes from the cross toolchain: headers, start files and
# libraries, the C++ ones included, all come from the sysroot, and the binaries ask
# for no newer symbol versions than that release has.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(MEDIA_AARCH64_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${MEDIA_AARCH64_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MEDIA_AARCH64_TRIPLET}-g++)

# try_compile projects read this file again without the cache; the environment
# carries the sysroot to them.
if(MEDIA_AARCH64_SYSROOT)
  set(ENV{MEDIA_AARCH64_SYSROOT} "${MEDIA_AARCH64_SYSROOT}")
else()
  set(MEDIA_AARCH64_SYSROOT "$ENV{MEDIA_AARCH64_SYSROOT}")
endif()
set(sysroot "${MEDIA_AARCH64_SYSROOT}")
if(NOT IS_DIRECTORY "${sysroot}/usr/include/${MEDIA_AARCH64_TRIPLET}")
  message(FATAL_ERROR
    "MEDIA_AARCH64_SYSROOT='${sysroot}' is not an arm64 Debian sysroot; "
    "scripts/cross-aarch64.sh makes one")
endif()
set(CMAKE_SYSROOT "${sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The sysroot's GCC runtime: the directory that has both libstdc++ and its headers.
file(GLOB runtime_dirs LIST_DIRECTORIES true "${sysroot}/usr/lib/gcc/${MEDIA_AARCH64_TRIPLET}/*")
set(runtime_version "")
foreach(dir IN LISTS runtime_dirs)
  get_filename_component(version "${dir}" NAME)
  if(EXISTS "${dir}/libstdc++.so" AND IS_DIRECTORY "${sysroot}/usr/include/c++/${version}")
    set(runtime_version "${version}")
  endif()
endforeach()
if(NOT runtime_version)
  message(FATAL_ERROR "no libstdc++-<version>-dev in the sysroot ${sysroot}")
endif()
set(runtime_dir "${sysroot}/usr/lib/gcc/${MEDIA_AARCH64_TRIPLET}/${runtime_version}")

# The compiler's own headers (stddef.h, arm_neon.h, ...) belong to the compiler.
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE compiler_include OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT IS_DIRECTORY "${compiler_include}")
  message(FATAL_ERROR "${CMAKE_C_COMPILER} not usable; install crossbuild-essential-arm64")
endif()

set(c_includes
  "-isystem ${compiler_include}"
  "-isystem ${sysroot}/usr/include/${MEDIA_AARCH64_TRIPLET}"
  "-isystem ${sysroot}/usr/include")
set(cxx_includes
  "-isystem ${sysroot}/usr/include/c++/${runtime_version}"
  "-isystem ${sysroot}/usr/include/${MEDIA_AARCH64_TRIPLET}/c++/${runtime_version}"
  "-isystem ${sysroot}/usr/include/c++/${runtime_version}/backward"
  ${c_includes})
string(JOIN " " c_includes ${c_includes})
string(JOIN " " cxx_includes ${cxx_includes})
set(CMAKE_C_FLAGS_INIT "-nostdinc ${c_includes}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc ${cxx_includes}")
# -B puts the sysroot's start files, libgcc and libstdc++ ahead of the toolchain's.
set(link_flags
  "-B${runtime_dir}/ -B${sysroot}/usr/lib/${MEDIA_AARCH64_TRIPLET}/ -B${sysroot}/lib/${MEDIA_AARCH64_TRIPLET}/")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${link_flags}")

# pkg-config must see only the sysroot's .pc files and prefix their paths with it.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${sysroot}")
set(ENV{PKG_CONFIG_LIBDIR}
  "${sysroot}/usr/lib/${MEDIA_AARCH64_TRIPLET}/pkgconfig:${sysroot}/usr/lib/pkgconfig:${sysroot}/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# Lets ctest and gtest_discover_tests run the test programs on this machine.
find_program(MEDIA_QEMU_AARCH64 qemu-aarch64-static)
if(MEDIA_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${MEDIA_QEMU_AARCH64};-L;${sysroot}")
endif()
