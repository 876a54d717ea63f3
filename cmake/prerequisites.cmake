# What a build from the sdist needs from the system, said in one line naming
# the Debian packages to install, before CMake's own longer reports.
#
# Included before project(): the compiler is checked there, as project()
# fails on a missing one with a report of its own. zk_check_prerequisites()
# checks the interpreter's headers and libcrypto's, after project().

# The one line first; CMake's error report (which it adds whatever we do)
# only points back at it.
function(zk_missing what)
  message(NOTICE "zentrik-native: cannot build: ${what}")
  message(FATAL_ERROR "a build prerequisite is missing (see the line above)")
endfunction()

if(NOT DEFINED CMAKE_CXX_COMPILER)
  if(DEFINED ENV{CXX})
    string(REGEX REPLACE " .*" "" zk_cxx "$ENV{CXX}")
    find_program(ZK_CXX NAMES "${zk_cxx}" NO_CACHE)
  else()
    find_program(ZK_CXX NAMES g++ c++ clang++ NO_CACHE)
  endif()
  if(NOT ZK_CXX)
    zk_missing("no C++20 compiler found; install g++ (Debian: apt install g++)")
  endif()
endif()

function(zk_check_prerequisites)
  find_package(Python 3.10 QUIET COMPONENTS Interpreter Development.Module)
  if(NOT Python_Development.Module_FOUND)
    set(dev python3-dev)
    if(Python_Interpreter_FOUND)
      set(dev "python${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}-dev")
    endif()
    zk_missing("the Python headers (Python.h) are missing; install ${dev} (Debian: apt install ${dev})")
  endif()
  if("crypto" IN_LIST ZENTRIK_MODULES)
    find_package(OpenSSL 1.1 QUIET COMPONENTS Crypto)
    if(NOT OpenSSL_FOUND)
      zk_missing("OpenSSL's libcrypto and its headers are missing; install libssl-dev (Debian: apt install libssl-dev)")
    endif()
  endif()
endfunction()
