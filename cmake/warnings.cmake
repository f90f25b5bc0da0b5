# Warnings on everywhere; C++ without exceptions.
add_compile_options(-Wall -Wextra)
add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions>)
