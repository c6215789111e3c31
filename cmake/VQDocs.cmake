# The API reference: target `docs`, when Doxygen is found and this is the top-level project (a
# subproject's `docs` would clash with the client's). It documents exactly what a client gets: the
# headers of the install component Development, installed into <build>/docs/include first. The
# page to open is <build>/docs/html/index.html. An undocumented public class, function, parameter,
# return value or enumerator, or any other Doxygen warning, fails the build of the target.
if(NOT PROJECT_IS_TOP_LEVEL)
    return()
endif()
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
    message(STATUS "Doxygen not found: the API reference (target docs) is not available")
    return()
endif()

set(VQ_DOCS_DIR ${PROJECT_BINARY_DIR}/docs)
configure_file(docs/Doxyfile.in ${VQ_DOCS_DIR}/Doxyfile @ONLY)
add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${VQ_DOCS_DIR}/include ${VQ_DOCS_DIR}/html
    COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --component Development --prefix ${VQ_DOCS_DIR}
    COMMAND Doxygen::doxygen ${VQ_DOCS_DIR}/Doxyfile
    WORKING_DIRECTORY ${VQ_DOCS_DIR}
    COMMENT "API reference: ${VQ_DOCS_DIR}/html/index.html"
    VERBATIM)
