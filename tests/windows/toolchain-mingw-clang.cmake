# clang for 64-bit Windows with MinGW-w64's headers, libraries and runtime (the GNU target),
# linked statically with lld. Debian's clang does not find MinGW's C++ library by itself, and
# would search the host's /usr/include: both are given here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-windows-gnu)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
file(GLOB _tuk_mingw_gcc LIST_DIRECTORIES true /usr/lib/gcc/x86_64-w64-mingw32/*-posix)
list(GET _tuk_mingw_gcc 0 _tuk_mingw_gcc)
set(CMAKE_CXX_FLAGS_INIT "-nostdlibinc -isystem ${_tuk_mingw_gcc}/include/c++ -isystem ${_tuk_mingw_gcc}/include/c++/x86_64-w64-mingw32 -isystem /usr/x86_64-w64-mingw32/include")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wno-unused-command-line-argument -fuse-ld=lld -static -L${_tuk_mingw_gcc} -lpthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wno-unused-command-line-argument -fuse-ld=lld -static -L${_tuk_mingw_gcc} -lpthread")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
