# cmake --install: headers, the four libraries, a CMake package and
# pkg-config files.
include(CMakePackageConfigHelpers)

foreach(h IN LISTS PHY_PUBLIC_HEADERS)
  if(h MATCHES "^${PHY_GEN_DIR}/")
    file(RELATIVE_PATH rel ${PHY_GEN_DIR} ${h})
  else()
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${h})
  endif()
  get_filename_component(dir ${rel} DIRECTORY)
  install(FILES ${h} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${PHY_INCLUDE_SUBDIR}/${dir})
endforeach()
install(FILES ${PHY_GEN_DIR}/PhyBcm54980.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${PHY_INCLUDE_SUBDIR})
# The socket transport's header stays out of the umbrella header: it needs Asio.
set(PHY_INSTALLED_LIBRARIES zefruntime phymodels phybcm54980)
if(TARGET zefattrlogsocket)
  install(FILES runtime/attrlog/socket/socket_transport.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${PHY_INCLUDE_SUBDIR}/runtime/attrlog/socket)
  list(APPEND PHY_INSTALLED_LIBRARIES zefattrlogsocket)
  set_target_properties(zefattrlogsocket PROPERTIES EXPORT_NAME ZefAttrLogSocket)
endif()

install(TARGETS ${PHY_INSTALLED_LIBRARIES} EXPORT PhyBcm54980Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set_target_properties(phybcm54980 PROPERTIES EXPORT_NAME PhyBcm54980)
set_target_properties(zefruntime PROPERTIES EXPORT_NAME ZefRuntime)
set_target_properties(phymodels PROPERTIES EXPORT_NAME PhyModels)

set(PHY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/PhyBcm54980)
install(EXPORT PhyBcm54980Targets NAMESPACE PhyBcm54980:: DESTINATION ${PHY_CMAKE_DIR})
configure_package_config_file(cmake/PhyBcm54980Config.cmake.in
  ${CMAKE_BINARY_DIR}/PhyBcm54980Config.cmake INSTALL_DESTINATION ${PHY_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/PhyBcm54980ConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/PhyBcm54980Config.cmake ${CMAKE_BINARY_DIR}/PhyBcm54980ConfigVersion.cmake
  DESTINATION ${PHY_CMAKE_DIR})

configure_file(cmake/phybcm54980.pc.in ${CMAKE_BINARY_DIR}/phybcm54980.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/phybcm54980.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(TARGET zefattrlogsocket)
  configure_file(cmake/zefattrlogsocket.pc.in ${CMAKE_BINARY_DIR}/zefattrlogsocket.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/zefattrlogsocket.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
