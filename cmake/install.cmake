# The installable package: `cmake --install build --prefix P` puts the three
# libraries (versioned, with SONAMEs) in P/lib, the public headers in
# P/include, the gavio tool in P/bin, a CMake package (find_package(gavio)
# gives gavio::platform, gavio::gavio and gavio::factory) and gavio.pc.
# The build folder keeps the unversioned names as links.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(gavioplat gavio gavfact PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
set_target_properties(gavioplat PROPERTIES EXPORT_NAME platform)
# Users of the platform library see the public headers: from the source
# tree while building, from the prefix once installed (INCLUDES below).
set_property(TARGET gavioplat PROPERTY INTERFACE_INCLUDE_DIRECTORIES
             "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>")
set_target_properties(gavfact PROPERTIES EXPORT_NAME factory)

install(TARGETS gavioplat gavio gavfact EXPORT gavioTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/gavio include/platform DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The installed tool finds the libraries in ../lib rather than beside itself.
install(TARGETS gavio_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set_target_properties(gavio_tool PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
target_compile_definitions(gavio_tool PRIVATE
  GAVIO_LIBDIR_FROM_BINDIR="../${CMAKE_INSTALL_LIBDIR}")

set(GAVIO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/gavio)
install(EXPORT gavioTargets NAMESPACE gavio:: DESTINATION ${GAVIO_CMAKE_DIR})
configure_package_config_file(cmake/gavioConfig.cmake.in
  ${CMAKE_BINARY_DIR}/gavioConfig.cmake INSTALL_DESTINATION ${GAVIO_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/gavioConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/gavioConfig.cmake ${CMAKE_BINARY_DIR}/gavioConfigVersion.cmake
        DESTINATION ${GAVIO_CMAKE_DIR})

# gavio.pc names the prefix given at install time, so it is made then.
install(CODE "
  set(GAVIO_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(GAVIO_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(GAVIO_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(GAVIO_PC_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/gavio.pc.in\" \"${CMAKE_BINARY_DIR}/gavio.pc\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/gavio.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
