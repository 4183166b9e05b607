# The block format and the state file of pyxbench's --verify, built from
# its sources (pyxbench is a program, not a library).
target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src/pyxbench/verify.cc)
target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src/pyxbench)
target_link_libraries(${target} PRIVATE PkgConfig::ISAL)
