# Cross build for 64-bit Windows with mingw-w64. The posix-threads variant of the compiler is
# needed: GoogleTest uses std::thread and std::mutex, which the win32-threads variant lacks.
# Usage: cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KOBAS_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KOBAS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KOBAS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KOBAS_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KOBAS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The binaries carry their C and C++ runtimes (and winpthread) inside, so they need nothing but
# the system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")

# windows.h without min/max macros and without the rarely used parts (winsock.h among them).
set(CMAKE_C_FLAGS_INIT "-DNOMINMAX -DWIN32_LEAN_AND_MEAN")
set(CMAKE_CXX_FLAGS_INIT "-DNOMINMAX -DWIN32_LEAN_AND_MEAN")

# Tests run the .exe files through wine when it is there.
find_program(KOBAS_WINE wine)
if(KOBAS_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KOBAS_WINE})
endif()
