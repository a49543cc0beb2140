# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (the POSIX
# threads variant of g++-mingw-w64-x86-64). The programs are linked
# statically against the C and C++ runtimes, so that they need only the
# DLLs that Windows ships. Tests run under Wine (cmake/wine-run).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOVRIX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOVRIX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOVRIX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOVRIX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOVRIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Every test program runs under Wine, in a prefix of the build tree's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
