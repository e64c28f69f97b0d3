# Cross-builds for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix: the posix thread model,
# which std::thread needs).
#
# LEANFOLD_WINDOWS_DEPS names a prefix holding the Windows builds of the dependencies (scripts/windows-worker.sh
# lays it out: static expat, and nlohmann-json, which is header-only and taken from the Linux package).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LEANFOLD_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LEANFOLD_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LEANFOLD_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${LEANFOLD_MINGW_TRIPLE}-windres)

set(LEANFOLD_WINDOWS_DEPS "" CACHE PATH "Prefix of the dependencies built for Windows")
# try_compile projects read this file again and need the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LEANFOLD_WINDOWS_DEPS)

# Libraries, headers and packages only from the Windows roots; programs (rcc, strip) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${LEANFOLD_MINGW_TRIPLE} ${LEANFOLD_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Headers of the prefix for every target: the XMP cleaner includes expat.h without a package that names it.
if(LEANFOLD_WINDOWS_DEPS)
  set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${LEANFOLD_WINDOWS_DEPS}/include")
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${LEANFOLD_WINDOWS_DEPS}/include")
endif()

# The expat in the prefix is a static library: without this its header declares DLL imports.
set(CMAKE_C_FLAGS_INIT "-DXML_STATIC")
set(CMAKE_CXX_FLAGS_INIT "-DXML_STATIC")
