# Cross-compiling for Windows with Debian's mingw-w64. The including toolchain
# file sets TAVRO_MINGW_ARCH (i686 or x86_64). The posix thread model is used
# because GoogleTest needs std::mutex; the runtime is linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TAVRO_MINGW_ARCH})
set(TAVRO_MINGW_TRIPLE ${TAVRO_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${TAVRO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVRO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVRO_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${TAVRO_MINGW_TRIPLE}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVRO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
