# Compiler launcher, linker and warnings shared by every target.
find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  # Precompiled headers are cached too when ccache may ignore their stamps.
  set(KOVIRA_CCACHE env CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
      ${CCACHE_PROGRAM})
  set(CMAKE_C_COMPILER_LAUNCHER ${KOVIRA_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${KOVIRA_CCACHE})
endif()

# Line tables are enough for backtraces and sanitizer reports, and full debug
# information doubles the compile time of template-heavy files.
set(KOVIRA_RELWITHDEBINFO_FLAGS "-O2 -g1 -DNDEBUG" CACHE STRING "Compiler flags of the RelWithDebInfo build")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "${KOVIRA_RELWITHDEBINFO_FLAGS}")
set(CMAKE_C_FLAGS_RELWITHDEBINFO "${KOVIRA_RELWITHDEBINFO_FLAGS}")

find_program(MOLD_PROGRAM mold)
if(MOLD_PROGRAM)
  add_link_options(-fuse-ld=mold)
endif()

set(KOVIRA_WARNINGS -Wall -Wextra -Wpedantic -Wshadow=local -Wnon-virtual-dtor -Wno-missing-field-initializers)

option(KOVIRA_BUILD_TESTS "Build the tests" ON)
option(KOVIRA_BUILD_BENCH "Build the benchmarks" ON)

# Sanitizer builds: -DKOVIRA_SANITIZE=thread or =address
set(KOVIRA_SANITIZE "" CACHE STRING "Sanitizer to build with (thread, address or empty)")
if(KOVIRA_SANITIZE)
  add_compile_options(-fsanitize=${KOVIRA_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${KOVIRA_SANITIZE})
endif()
