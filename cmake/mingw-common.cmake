# Shared by the MinGW-w64 toolchain files; they set QK_MINGW_TRIPLET first.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QK_MINGW_TRIPLET})

# The posix threading variants: std::thread and std::mutex need them.
find_program(QK_MINGW_CC NAMES ${QK_MINGW_TRIPLET}-gcc-posix ${QK_MINGW_TRIPLET}-gcc REQUIRED)
find_program(QK_MINGW_CXX NAMES ${QK_MINGW_TRIPLET}-g++-posix ${QK_MINGW_TRIPLET}-g++ REQUIRED)
find_program(QK_MINGW_RC NAMES ${QK_MINGW_TRIPLET}-windres)
set(CMAKE_C_COMPILER ${QK_MINGW_CC})
set(CMAKE_CXX_COMPILER ${QK_MINGW_CXX})
if(QK_MINGW_RC)
  set(CMAKE_RC_COMPILER ${QK_MINGW_RC})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${QK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and the DLL carry libgcc, libstdc++ and winpthread inside, so
# they run on a bare Windows (and under Wine) without MinGW's runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine when ctest runs them on the build host.
find_program(QK_WINE NAMES wine)
if(QK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QK_WINE})
endif()
