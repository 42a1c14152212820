# Cross-build for Windows x64 with mingw-w64. The -posix compilers are the ones
# whose C++ library has std::thread and std::mutex.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DOPENSSL_ROOT_DIR=<static OpenSSL 3 for mingw64>
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TORVA_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TORVA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TORVA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TORVA_MINGW_TRIPLET}-windres)
set(TORVA_WINDMC ${TORVA_MINGW_TRIPLET}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${TORVA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# OpenSSL lives outside the root path (under the build directory).
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)

# Every program and library carries its C and C++ run-time and the threads
# library: nothing beside the system's DLLs needs to be shipped.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(OPENSSL_USE_STATIC_LIBS TRUE)
