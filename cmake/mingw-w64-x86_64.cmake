# Cross build for Windows x64 with MinGW-w64; CTest runs the results under
# Wine.  Linked statically, so that the .exe needs no DLL beyond the
# system's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The posix thread model, because GoogleTest needs std::mutex, which
# GCC 12's win32 model lacks; -static keeps its winpthread out of DLLs.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(WINE_PROGRAM NAMES wine64 wine HINTS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
find_program(WINESERVER_PROGRAM NAMES wineserver HINTS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(WINE_PROGRAM AND WINESERVER_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/wine-emulator.sh ${WINESERVER_PROGRAM} ${WINE_PROGRAM})
endif()
