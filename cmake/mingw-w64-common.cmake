# The -posix thread-model compilers: GoogleTest needs std::mutex.
set(CMAKE_C_COMPILER ${TAVRIN_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVRIN_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVRIN_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TAVRIN_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Test programs run under Wine; $WINE names the loader (wine or wine64).
# Without it (a test build configured from a bare shell), the loader that
# fits the architecture, so that ctest never tries to run an .exe itself.
if(DEFINED ENV{WINE})
  set(CMAKE_CROSSCOMPILING_EMULATOR $ENV{WINE})
elseif(TAVRIN_TRIPLE STREQUAL "x86_64-w64-mingw32")
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
endif()
