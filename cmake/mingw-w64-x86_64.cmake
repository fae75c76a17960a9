# Cross-builds for 64-bit Windows from Debian with MinGW-w64 (packages g++-mingw-w64-x86-64-posix
# and mingw-w64-tools): the POSIX thread model, for std::thread and std::mutex.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
# scripts/windows.sh does it all and runs the results under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PRAVUNE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PRAVUNE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PRAVUNE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PRAVUNE_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PRAVUNE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# One self-contained .exe each: the C++ and thread runtimes linked in, no DLLs to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
