# Cross build for 32-bit Windows with mingw-w64, for a console maker's 32-bit SDK library
# beside Halmdrv. Settings as in mingw-w64-x86_64.cmake: posix thread model, everything linked
# statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(PELMORA_MINGW_PREFIX i686-w64-mingw32)
find_program(PELMORA_MINGW_CC NAMES ${PELMORA_MINGW_PREFIX}-gcc-posix ${PELMORA_MINGW_PREFIX}-gcc REQUIRED)
find_program(PELMORA_MINGW_CXX NAMES ${PELMORA_MINGW_PREFIX}-g++-posix ${PELMORA_MINGW_PREFIX}-g++ REQUIRED)
set(CMAKE_C_COMPILER ${PELMORA_MINGW_CC})
set(CMAKE_CXX_COMPILER ${PELMORA_MINGW_CXX})
set(CMAKE_RC_COMPILER ${PELMORA_MINGW_PREFIX}-windres)
set(CMAKE_MC_COMPILER ${PELMORA_MINGW_PREFIX}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${PELMORA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host's header-only packages (CLI11, nlohmann-json) serve the cross build as well,
# through package files that name their headers alone.
set(PELMORA_HOST_INCLUDE /usr/include)
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw/CLI11 CACHE PATH "")
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw/nlohmann_json CACHE PATH "")

# No libgcc, libstdc++ or winpthread DLLs at run time. CMake switches the linker back to
# dynamic search after a library it found as an archive (odbc32); keep the search static to
# the end of the line, where the compiler adds its own libraries.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_LINK_SEARCH_START_STATIC ON)
set(CMAKE_LINK_SEARCH_END_STATIC ON)

# No emulator: the build hosts run no 32-bit code (a 32-bit Wine would break the 64-bit one).
# The programs are checked with objdump instead (tests/wine/check-win32-binaries.sh).
