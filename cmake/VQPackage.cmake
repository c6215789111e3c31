# Installable package: find_package(VQProcessStateHandler64) and pkg-config.
if(TARGET VQProcessStateHandler64)
    set(VQ_INSTALL_MODULE VQProcessStateHandler64)
endif()
include(CMakePackageConfigHelpers)
# The package's names also where this project is a subproject (add_subdirectory, FetchContent).
foreach(target vqplatform VQConvert64 VQComUtilities64 VQError64 ${VQ_INSTALL_MODULE})
    add_library(VQ::${target} ALIAS ${target})
endforeach()

install(TARGETS vqplatform VQConvert64 VQComUtilities64 VQError64 ${VQ_INSTALL_MODULE}
        EXPORT VQProcessStateHandler64Targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Headers: the public API, the error component's exceptions, log book and error state (what a client
# catches, reads or sets), and the few platform names they use (on Linux the stand-in's, on Windows
# the SDK's). The writers (XVQError.h, which names the ATL and MFC exception types), the rest of
# the platform layer and its test seams are the library's own and stay out. Their own component,
# Development, installs them alone (the MSVC-mode check, which links nothing, does so).
install(DIRECTORY include/VQProcessStateHandler DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
install(FILES platform/include/vqplatform/export.h platform/include/vqplatform/types.h
              platform/include/vqplatform/com.h platform/include/vqplatform/comptr.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vqplatform COMPONENT Development)
install(DIRECTORY components/include/VQError DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development
        PATTERN "VQError.h" EXCLUDE PATTERN "XVQError.h" EXCLUDE)
install(DIRECTORY components/include/VQConvert components/include/VQComUtilities
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
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
