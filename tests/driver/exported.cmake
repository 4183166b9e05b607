# The exported-interface test reads the built shared library's dynamic
# symbols, and offers its own stand-in of tcmalloc's C entry point to the
# library's dlsym lookup.
target_compile_definitions(${target} PRIVATE PYXDRIVER_SO_PATH="$<TARGET_FILE:pyxdriver>")
add_dependencies(${target} pyxdriver)
set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
