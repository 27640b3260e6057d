# brindle_warnings: an interface target every project target links, so the flags stay in one place.
add_library(brindle_warnings INTERFACE)
target_compile_options(brindle_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(brindle_warnings INTERFACE -Wshadow=local)
endif()
