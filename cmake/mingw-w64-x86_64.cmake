# Cross build for 64-bit Windows with mingw-w64; tests run under wine64.
set(KW_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
