# Cross-builds for Windows on x86-64 with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix,
# the variant with std::thread), linking everything statically so that the .exe files
# need no DLL beside them.
# Usage: cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(QUORIN_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORIN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORIN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORIN_MINGW_TRIPLET}-windres)

# Libraries and headers come from the mingw-w64 tree only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QUORIN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Header-only libraries taken from the host's Debian packages (libboost-dev,
# nlohmann-json3-dev, googletest's sources); see cmake/Windows_Dependencies.cmake.
set(QUORIN_HOST_INCLUDE_DIR /usr/include CACHE PATH "Where the host's Boost and nlohmann headers live")
set(QUORIN_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "googletest sources to build for Windows")
