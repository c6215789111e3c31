# GoogleTest for the cross-build: no GoogleTest is installed for the target, so it is built from
# the packaged sources with the project's toolchain, providing the usual GTest:: targets. An empty
# package file then lets every later find_package(GTest) (tests/, examples/) find those targets.
set(VQ_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the cross-build")
if(EXISTS ${VQ_GTEST_SOURCE_DIR}/CMakeLists.txt)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${VQ_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

    set(VQ_GTEST_PACKAGE_DIR ${CMAKE_BINARY_DIR}/googletest/package)
    file(WRITE ${VQ_GTEST_PACKAGE_DIR}/GTestConfig.cmake
         "# The GTest:: targets are part of this build (cmake/VQCrossGoogleTest.cmake).\n")
    set(GTest_DIR ${VQ_GTEST_PACKAGE_DIR} CACHE PATH "" FORCE)
endif()
