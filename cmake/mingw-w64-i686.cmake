# The 32-bit Windows build, for line PCs that still run 32-bit Windows; its tests run under
# Wine's 32-bit side.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MORVA_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
