# vq_add_test(<target> SOURCES... LIBS...): one GoogleTest program.
# On Linux every test case becomes a ctest entry; under Wine a whole program is one entry, since
# starting a Windows process per test case costs far more than the test itself.
function(vq_add_test target)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${target} ${ARG_SOURCES})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
    if(CMAKE_CROSSCOMPILING)
        add_test(NAME ${target} COMMAND ${target})
        set_tests_properties(${target} PROPERTIES TIMEOUT 600)
    else()
        gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
    endif()
endfunction()

# vq_shared_library_names(<target>): Windows names a DLL after its target alone (VQError64.dll, not
# MinGW's libVQError64.dll); Linux gives the shared object the project's version, a soname that
# changes with the major version only, and finds the libraries it needs next to itself once
# installed, wherever the installation lives.
function(vq_shared_library_names target)
    if(WIN32)
        set_target_properties(${target} PROPERTIES PREFIX "")
    else()
        set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                                                   INSTALL_RPATH "$ORIGIN")
    endif()
endfunction()
