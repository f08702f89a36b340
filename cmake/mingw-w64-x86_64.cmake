# Cross-compiling for 64-bit Windows with Debian's mingw-w64 compilers (the
# posix-threads flavour, for std::thread, std::mutex and thread_local).
#
# NIMBUSWATCH_WINDOWS_DEPS names the prefix that holds the Windows builds of
# zlib, FreeType, libgd and GoogleTest (scripts/build-windows makes it); the
# libraries and headers are looked up there and in mingw-w64's own tree only,
# never among the machine's Linux ones. Programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_AR /usr/bin/x86_64-w64-mingw32-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/x86_64-w64-mingw32-ranlib CACHE FILEPATH "")

# try_compile projects see the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NIMBUSWATCH_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${NIMBUSWATCH_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(NIMBUSWATCH_WINDOWS_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} ${NIMBUSWATCH_WINDOWS_DEPS}/lib/pkgconfig)
  unset(ENV{PKG_CONFIG_PATH})
endif()

# libstdc++, libgcc and winpthread linked in: nothing but system DLLs needed
# beside the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/wine)
