include(${CMAKE_CURRENT_LIST_DIR}/interop_common.cmake)
