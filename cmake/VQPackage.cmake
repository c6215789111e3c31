# Installable package: find_package(VQProcessStateHandler64) and pkg-config.
if(TARGET VQProcessStateHandler64)
    set(VQ_INSTALL_MODULE VQProcessStateHandler64)
endif()
include(CMakePackageConfigHelpers)

install(TARGETS vqplatform VQConvert64 VQComUtilities64 VQError64 ${VQ_INSTALL_MODULE}
        EXPORT VQProcessStateHandler64Targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/VQProcessStateHandler DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY platform/include/vqplatform DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY components/include/VQError components/include/VQConvert components/include/VQComUtilities
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT VQProcessStateHandler64Targets NAMESPACE VQ::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VQProcessStateHandler64)
configure_package_config_file(cmake/VQProcessStateHandler64Config.cmake.in
        ${CMAKE_CURRENT_BINARY_DIR}/VQProcessStateHandler64Config.cmake
        INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VQProcessStateHandler64)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VQProcessStateHandler64ConfigVersion.cmake
        COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VQProcessStateHandler64Config.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/VQProcessStateHandler64ConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VQProcessStateHandler64)
configure_file(cmake/VQProcessStateHandler64.pc.in ${CMAKE_CURRENT_BINARY_DIR}/VQProcessStateHandler64.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VQProcessStateHandler64.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
