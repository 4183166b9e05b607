# The jobs' block layer, built from pyxbench's source, over the host
# stand-in, the library and an in-process cluster.
target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src/pyxbench/split.cc)
target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src/pyxbench)
target_link_libraries(${target} PRIVATE pyxdriver_core pyxsim_lib pyxhost)
