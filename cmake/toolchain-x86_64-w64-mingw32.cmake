# 64-bit Windows: the same sources, for running the tests under 64-bit Wine
# where 32-bit programs cannot run.
set(PARLEY_MINGW x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
