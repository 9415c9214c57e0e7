# Cross-build for 32-bit Windows with Debian's MinGW-w64 (posix thread model, so std::thread
# works). The runtime is linked statically: the programs and px417.dll need no MinGW DLLs.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(UL_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${UL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${UL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${UL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Tests run under Wine (scripts/test-windows.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
