# The tests run the built programs (pyxbench finds pyxsim and pyxsimctl in
# the build tree) and bench/driver_vs_nbd.sh on this build folder, and bend
# a running pyxsim's answers through its control client.
target_compile_definitions(${target} PRIVATE PYXBENCH_BIN="$<TARGET_FILE:pyxbench>"
                           PYXSIM_BIN="$<TARGET_FILE:pyxsim>"
                           PYXSIMCTL_BIN="$<TARGET_FILE:pyxsimctl>"
                           PYX_SOURCE_DIR="${CMAKE_SOURCE_DIR}" PYX_BUILD_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(${target} pyxbench pyxsim pyxsimctl)
target_link_libraries(${target} PRIVATE pyxsim_lib)
