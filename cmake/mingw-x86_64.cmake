set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QLR_TRIPLE x86_64-w64-mingw32)
# The posix-thread compilers are needed by googletest; everything links statically,
# so the module imports system DLLs only.
set(CMAKE_C_COMPILER ${QLR_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QLR_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QLR_TRIPLE}-windres)
set(QLR_WIDL ${QLR_TRIPLE}-widl)
set(CMAKE_FIND_ROOT_PATH /usr/${QLR_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
