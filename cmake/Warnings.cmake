# Warnings every project target compiles with; kept clean.
add_library(zorv_warnings INTERFACE)
target_compile_options(zorv_warnings INTERFACE
    -Wall -Wextra -Wnon-virtual-dtor -Woverloaded-virtual)
