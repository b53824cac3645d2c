# Cross build for 64-bit Windows with Debian's mingw-w64 toolchain, in its
# posix-threads flavour (std::thread and std::mutex need it).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VESKAR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VESKAR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VESKAR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VESKAR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VESKAR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every library and program carries its own copy of the compiler's runtime
# (libgcc, libstdc++, winpthread): the plug-in then needs nothing beside it but
# the host library and the system's DLLs, wherever it is installed.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine's 64-bit loader.
find_program(VESKAR_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(VESKAR_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VESKAR_WINE64})
endif()
