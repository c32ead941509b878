# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the posix thread model, which
# std::thread and std::mutex need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# Qt and GoogleTest for Windows live in a cache folder outside the tree (tools/windows.sh makes
# them there once): VORLINEX_WIN_CACHE, else /var/cache/vorlinex.
if(DEFINED ENV{VORLINEX_WIN_CACHE} AND NOT "$ENV{VORLINEX_WIN_CACHE}" STREQUAL "")
  set(vorlinex_win_cache $ENV{VORLINEX_WIN_CACHE})
else()
  set(vorlinex_win_cache /var/cache/vorlinex)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${vorlinex_win_cache}/qt-6.4.2-mingw
    ${vorlinex_win_cache}/gtest-mingw ${VORLINEX_WIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
