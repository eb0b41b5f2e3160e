# Installs the build into a scratch prefix, then builds and runs the consumer
# with the CMake package and again with pkg-config.
foreach(v BUILD_DIR SOURCE_DIR WORK_DIR)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "${v} not set")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/cmake-build -G Ninja -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib ${WORK_DIR}/cmake-build/consumer)
set(pairs "phybcm54980:main.cc:consumer-pc")
# WITH_SOCKET: the package has the socket library (it was built with Asio).
if(WITH_SOCKET)
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib ${WORK_DIR}/cmake-build/socket_consumer)
  list(APPEND pairs "zefattrlogsocket:socket_main.cc:socket-consumer-pc")
elseif(EXISTS ${WORK_DIR}/cmake-build/socket_consumer)
  message(FATAL_ERROR "socket_consumer built from a package without the socket library")
endif()

# pkg-config: the flags it gives build the same programs.
find_program(PKG_CONFIG pkg-config REQUIRED)
foreach(pair IN LISTS pairs)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 package)
  list(GET pair 1 source)
  list(GET pair 2 program)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig
                  ${PKG_CONFIG} --cflags --libs ${package}
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know ${package}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(c++ ${SOURCE_DIR}/${source} ${flags} -o ${WORK_DIR}/${program})
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib ${WORK_DIR}/${program})
endforeach()
