# The gRPC C++ client: stubs generated from interop_grpc.proto, linked with
# Debian's grpc++. Without them the program still builds, and its tests fail
# naming the packages to install.
include(${CMAKE_CURRENT_LIST_DIR}/interop_common.cmake)
pkg_check_modules(H2_INTEROP_GRPCPP QUIET IMPORTED_TARGET grpc++)
find_program(H2_INTEROP_GRPC_PLUGIN grpc_cpp_plugin)
if(H2_INTEROP_GRPCPP_FOUND AND H2_INTEROP_GRPC_PLUGIN)
  set(H2_INTEROP_GRPC_GEN ${CMAKE_CURRENT_BINARY_DIR}/h2_interop)
  set(H2_INTEROP_GRPC_SOURCES ${H2_INTEROP_GRPC_GEN}/interop_grpc.pb.cc
                              ${H2_INTEROP_GRPC_GEN}/interop_grpc.grpc.pb.cc)
  add_custom_command(
    OUTPUT ${H2_INTEROP_GRPC_SOURCES} ${H2_INTEROP_GRPC_GEN}/interop_grpc.pb.h
           ${H2_INTEROP_GRPC_GEN}/interop_grpc.grpc.pb.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${H2_INTEROP_GRPC_GEN}
    COMMAND ${Protobuf_PROTOC_EXECUTABLE} --proto_path=${CMAKE_CURRENT_LIST_DIR}
            --cpp_out=${H2_INTEROP_GRPC_GEN} --grpc_out=${H2_INTEROP_GRPC_GEN}
            --plugin=protoc-gen-grpc=${H2_INTEROP_GRPC_PLUGIN} interop_grpc.proto
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/interop_grpc.proto ${CMAKE_CURRENT_LIST_DIR}/interop.proto
    COMMENT "Generating the interoperation tests' gRPC stubs")
  set_source_files_properties(${H2_INTEROP_GRPC_SOURCES} PROPERTIES COMPILE_OPTIONS -w)
  target_sources(${target} PRIVATE ${H2_INTEROP_GRPC_SOURCES})
  target_link_libraries(${target} PRIVATE PkgConfig::H2_INTEROP_GRPCPP)
else()
  target_compile_definitions(${target} PRIVATE INTEROP_NO_GRPCPP=1)
endif()
