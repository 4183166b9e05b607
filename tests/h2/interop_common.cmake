# Included by the hook of every interop_* program (`target` names it): the
# echo service of interop.proto, generated once into a library they share,
# zlib for gzip-compressed bodies, and INTEROP_DIR, where the programs find
# the client scripts.
set(H2_INTEROP_GEN ${CMAKE_CURRENT_BINARY_DIR}/h2_interop)
if(NOT TARGET h2_interop_proto)
  add_custom_command(
    OUTPUT ${H2_INTEROP_GEN}/interop.pb.cc ${H2_INTEROP_GEN}/interop.pb.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${H2_INTEROP_GEN}
    COMMAND ${Protobuf_PROTOC_EXECUTABLE} --proto_path=${CMAKE_CURRENT_LIST_DIR}
            --cpp_out=${H2_INTEROP_GEN} interop.proto
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/interop.proto
    COMMENT "Generating the interoperation tests' echo service")
  set_source_files_properties(${H2_INTEROP_GEN}/interop.pb.cc PROPERTIES COMPILE_OPTIONS -w)
  add_library(h2_interop_proto STATIC ${H2_INTEROP_GEN}/interop.pb.cc)
  target_include_directories(h2_interop_proto SYSTEM PUBLIC ${H2_INTEROP_GEN})
  target_link_libraries(h2_interop_proto PUBLIC protobuf::libprotobuf)
endif()
target_link_libraries(${target} PRIVATE h2_interop_proto ZLIB::ZLIB)
target_compile_definitions(${target} PRIVATE INTEROP_DIR="${CMAKE_CURRENT_LIST_DIR}")
