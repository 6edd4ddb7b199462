# Toolchain file for the manylinux2014 wheels (./dev wheels): zig's clang, from PyPI's ziglang
# run by the Python named in VANTOR_ZIG_PYTHON, compiles against glibc 2.17's symbols and links
# its C++ runtime (libc++, libc++abi) into each module, so that a wheel needs no libstdc++.
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig/ranlib CACHE FILEPATH "")

# Debian's interpreters (the sid root's) include their pyconfig.h as
# <x86_64-linux-gnu/python3.X/pyconfig.h>, from /usr/include, which gcc searches and zig does
# not. A folder holding only that prefix is searched last, so nothing else of the machine's
# headers can take the place of zig's.
if(IS_DIRECTORY /usr/include/x86_64-linux-gnu)
  set(_vantor_multiarch ${CMAKE_BINARY_DIR}/zig-multiarch)
  file(MAKE_DIRECTORY ${_vantor_multiarch})
  file(CREATE_LINK /usr/include/x86_64-linux-gnu ${_vantor_multiarch}/x86_64-linux-gnu SYMBOLIC)
  set(CMAKE_C_FLAGS_INIT "-idirafter ${_vantor_multiarch}")
  set(CMAKE_CXX_FLAGS_INIT "-idirafter ${_vantor_multiarch}")
endif()

# The unwinder stays the system's libgcc_s (which manylinux allows), not the copy of LLVM's
# libunwind that zig would link in: at exit, 3.10 to 3.13 end a thread that waits for the GIL
# with pthread_exit, whose forced unwinding glibc runs through libgcc_s across our frames, and
# the personality routine of those frames must then call the same unwinder that is unwinding.
find_file(VANTOR_LIBGCC_S libgcc_s.so.1
          PATHS /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu /lib64 /usr/lib64
          NO_DEFAULT_PATH REQUIRED)
set(CMAKE_C_STANDARD_LIBRARIES "${VANTOR_LIBGCC_S}" CACHE STRING "")
set(CMAKE_CXX_STANDARD_LIBRARIES "${VANTOR_LIBGCC_S}" CACHE STRING "")
