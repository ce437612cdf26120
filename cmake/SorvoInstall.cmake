# Delivery: the shared library, the public headers under include/sorvo/, a pkg-config file
# and a CMake package (find_package(sorvo) gives sorvo::sorvo).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS sorvo EXPORT sorvoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

foreach(h ${SORVO_PUBLIC_HEADERS})
  get_filename_component(_dir ${h} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/${h}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/sorvo/${_dir})
endforeach()

install(EXPORT sorvoTargets NAMESPACE sorvo::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/sorvo)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/sorvoConfig.cmake.in
  ${CMAKE_BINARY_DIR}/sorvoConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/sorvo)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/sorvoConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/sorvoConfig.cmake ${CMAKE_BINARY_DIR}/sorvoConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/sorvo)

# The pkg-config file finds its prefix from its own place, so that an installed tree can be
# moved or installed with --prefix.
file(RELATIVE_PATH SORVO_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
configure_file(${CMAKE_SOURCE_DIR}/cmake/sorvo.pc.in ${CMAKE_BINARY_DIR}/sorvo.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/sorvo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${CMAKE_SOURCE_DIR}/include/sorvo/sorvo.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/sorvo)
