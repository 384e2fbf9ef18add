# Compiler launcher, linker and warnings shared by every target.
find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()

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
