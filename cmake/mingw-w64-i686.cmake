# Cross-build for Windows with Debian's mingw-w64 compilers:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
# Beside the compilers' own: libraries built for Windows by install-build-deps.sh --windows.
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32 /opt/kelvoup-deps/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The posix thread model gives the C++ runtime its threads (GoogleTest needs std::mutex).
# The C++ runtime goes into the executable: KelvoUp.exe needs nothing beside Windows' own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
