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
  set(_vantor_flags "-idirafter ${_vantor_multiarch}")
endif()

# The optimisation of the g++ build: zig hands clang -O2 for any higher -O and keeps the frame
# pointer in every function, which made the send path about 8 % slower than g++'s -O3; clang's
# own -O3, without frame pointers (unwinding reads .eh_frame), measures as fast as g++.
string(APPEND _vantor_flags " -fomit-frame-pointer")
set(CMAKE_C_FLAGS_INIT "${_vantor_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_vantor_flags}")
set(CMAKE_C_FLAGS_RELEASE_INIT "-O3 -DNDEBUG -Xclang -O3")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O3 -DNDEBUG -Xclang -O3")

# The unwinder stays the system's libgcc_s (which manylinux allows), not the copy of LLVM's
# libunwind that zig would link in: at exit, 3.10 to 3.13 end a thread that waits for the GIL
# with pthread_exit, whose forced unwinding glibc runs through libgcc_s across our frames, and
# the personality routine of those frames must then call the same unwinder that is unwinding.
find_file(VANTOR_LIBGCC_S libgcc_s.so.1
          PATHS /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu /lib64 /usr/lib64
          NO_DEFAULT_PATH REQUIRED)
set(CMAKE_C_STANDARD_LIBRARIES "${VANTOR_LIBGCC_S}" CACHE STRING "")
set(CMAKE_CXX_STANDARD_LIBRARIES "${VANTOR_LIBGCC_S}" CACHE STRING "")
