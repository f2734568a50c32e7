# What the two MinGW-w64 toolchain files share: the compilers of the posix threading model
# (std::thread and GoogleTest need it) for PARVOLET_MINGW_TRIPLET, and a find root of that target's
# own (the build machine's programs, the target's libraries and headers).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${PARVOLET_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PARVOLET_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PARVOLET_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PARVOLET_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
