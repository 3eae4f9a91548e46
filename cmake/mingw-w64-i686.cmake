# Cross build for 32-bit Windows with mingw-w64; programs run under wine32
# (wine32-run.sh), which on a host without i386 support runs through qemu
# user emulation.
set(KW_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine32-run.sh)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
