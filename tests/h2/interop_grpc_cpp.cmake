# The gRPC C++ client: a program of its own (interop_grpc_client/) with stubs
# generated from interop_grpc.proto, linked with Debian's grpc++ and built
# without the sanitizers of the test build (gRPC's threads synchronise
# inside an uninstrumented library). The test program runs it by the path in
# INTEROP_GRPC_CLIENT. Without grpc++ the test program still builds, and its
# tests fail naming the packages to install.
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
  add_executable(h2_interop_grpc_client ${CMAKE_CURRENT_LIST_DIR}/interop_grpc_client/client.cc
                 ${H2_INTEROP_GEN}/interop.pb.cc ${H2_INTEROP_GRPC_SOURCES})
  target_include_directories(h2_interop_grpc_client SYSTEM PRIVATE ${H2_INTEROP_GEN})
  target_link_libraries(h2_interop_grpc_client PRIVATE PkgConfig::H2_INTEROP_GRPCPP
                        protobuf::libprotobuf)
  foreach(kind COMPILE_OPTIONS LINK_OPTIONS)
    get_target_property(options h2_interop_grpc_client ${kind})
    if(options)
      list(FILTER options EXCLUDE REGEX "^-f(no-)?sanitize")
      set_target_properties(h2_interop_grpc_client PROPERTIES ${kind} "${options}")
    endif()
  endforeach()
  add_dependencies(${target} h2_interop_grpc_client)
  target_compile_definitions(${target}
                             PRIVATE INTEROP_GRPC_CLIENT="$<TARGET_FILE:h2_interop_grpc_client>")
endif()
