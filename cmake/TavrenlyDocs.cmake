# SPDX-License-Identifier: LGPL-2.1-or-later
# `docs`: the API reference of the public headers (TAVRENLY_PUBLIC_HEADERS, the ones the package
# installs) with Doxygen, into docs/api/html of the build tree. Not part of `all`; a Doxygen
# warning fails it. Without doxygen the target says how to get it.

set(TAVRENLY_DOCS_DIR ${PROJECT_BINARY_DIR}/docs/api)
set(TAVRENLY_DOCS_INPUT ${PROJECT_SOURCE_DIR}/docs/api/mainpage.md)
foreach(header IN LISTS TAVRENLY_PUBLIC_HEADERS)
    list(APPEND TAVRENLY_DOCS_INPUT ${PROJECT_SOURCE_DIR}/${header})
endforeach()
list(JOIN TAVRENLY_DOCS_INPUT " " TAVRENLY_DOCS_INPUT)
configure_file(${PROJECT_SOURCE_DIR}/docs/api/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)

find_program(TAVRENLY_DOXYGEN doxygen)
if(TAVRENLY_DOXYGEN)
    add_custom_target(docs
        COMMAND ${CMAKE_COMMAND} -E remove_directory ${TAVRENLY_DOCS_DIR}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVRENLY_DOCS_DIR}
        COMMAND ${TAVRENLY_DOXYGEN} ${PROJECT_BINARY_DIR}/Doxyfile
        COMMAND ${CMAKE_COMMAND} -E echo "docs: ${TAVRENLY_DOCS_DIR}/html/index.html"
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        COMMENT "Doxygen: the API reference of the public headers"
        VERBATIM)
else()
    add_custom_target(docs
        COMMAND ${CMAKE_COMMAND} -E echo "docs: doxygen is missing (scripts/install-deps.sh)"
        COMMAND ${CMAKE_COMMAND} -E false
        VERBATIM)
endif()
