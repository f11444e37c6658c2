# Windows from Debian's MinGW-w64, POSIX thread model (std::mutex and
# std::condition_variable need it). Everything is linked statically, so
# parley.dll imports only Windows system DLLs. Included by the toolchain
# files, which set PARLEY_MINGW and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${PARLEY_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PARLEY_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${PARLEY_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PARLEY_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run through Wine (CTest and test discovery alike), when a
# Wine for this architecture runs here: 32-bit Wine needs a kernel that
# runs 32-bit programs.
if(PARLEY_MINGW MATCHES "^x86_64")
  find_program(PARLEY_WINE NAMES wine64 PATHS /usr/lib/wine NO_CACHE)
else()
  find_program(PARLEY_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CACHE)
endif()
if(PARLEY_WINE)
  execute_process(COMMAND ${PARLEY_WINE} --version RESULT_VARIABLE PARLEY_WINE_RESULT OUTPUT_QUIET ERROR_QUIET)
  if(PARLEY_WINE_RESULT EQUAL 0)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/support/wine-run.sh ${PARLEY_WINE})
  endif()
endif()
