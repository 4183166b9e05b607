# The tests run the built pyxbench (which finds pyxsim and pyxsimctl in the
# build tree) and scripts/run.sh on this build folder.
target_compile_definitions(${target} PRIVATE PYXBENCH_BIN="$<TARGET_FILE:pyxbench>"
                           PYX_SOURCE_DIR="${CMAKE_SOURCE_DIR}" PYX_BUILD_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(${target} pyxbench pyxsim pyxsimctl)
