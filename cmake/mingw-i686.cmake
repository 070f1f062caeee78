# Cross-compiles the 32-bit Windows setup with the posix-threads flavour of mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZS_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ZS_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZS_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZS_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Every test executable runs under Wine, in the test run's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
