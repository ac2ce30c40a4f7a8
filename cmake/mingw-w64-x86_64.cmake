# Cross build for 64-bit Windows with Debian's mingw-w64 (the POSIX thread model, for
# std::thread and std::mutex). Programs built here run under Wine: CTest starts each test
# executable through wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORVCOPY_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${ORVCOPY_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVCOPY_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVCOPY_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVCOPY_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's own runtime (libgcc, libstdc++, winpthreads) is linked in, so that every DLL
# and program runs with nothing beside it but our own DLLs and the system's.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)

# zlib (the CRC-32 on Windows) goes into OrvCopy.dll too, rather than beside it as zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)
