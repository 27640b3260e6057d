# brindle_warnings: an interface target every project target links, so the flags stay in one place.
add_library(brindle_warnings INTERFACE)
target_compile_options(brindle_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow=local)
