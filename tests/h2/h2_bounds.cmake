# The echo service the HTTP/2 tests call (tests/h2/interop.proto).
include(${CMAKE_CURRENT_LIST_DIR}/interop_common.cmake)
