# `docs`: HTML API reference of the public headers, built with Doxygen when it is installed
# (build/docs/html/index.html). Any warning fails the build, an undocumented public or protected
# member included.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
    message(STATUS "Doxygen not found: no docs target")
    return()
endif()

set(DOXYGEN_PROJECT_NAME TUKCloudUtils)
set(DOXYGEN_PROJECT_NUMBER ${PROJECT_VERSION})
set(DOXYGEN_PROJECT_BRIEF "${PROJECT_DESCRIPTION}")
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
set(DOXYGEN_GENERATE_HTML YES)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_GENERATE_TREEVIEW YES)
set(DOXYGEN_FULL_PATH_NAMES NO)
set(DOXYGEN_EXTRACT_ALL NO)
set(DOXYGEN_EXTRACT_PRIVATE NO)
set(DOXYGEN_HIDE_UNDOC_CLASSES YES)
set(DOXYGEN_WARN_IF_UNDOCUMENTED YES)
set(DOXYGEN_WARN_IF_DOC_ERROR YES)
set(DOXYGEN_WARN_NO_PARAMDOC NO)
set(DOXYGEN_WARN_AS_ERROR FAIL_ON_WARNINGS)
set(DOXYGEN_QUIET YES)
# The export macro and Qt's class macros mean nothing to the reader of the reference.
set(DOXYGEN_ENABLE_PREPROCESSING YES)
set(DOXYGEN_MACRO_EXPANSION YES)
set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
set(DOXYGEN_PREDEFINED TUKCLOUDUTILS_EXPORT= Q_OBJECT= Q_INVOKABLE= "Q_DISABLE_COPY(x)=")
set(DOXYGEN_EXCLUDE_SYMBOLS "*Private")

doxygen_add_docs(docs ${PROJECT_SOURCE_DIR}/include/TUKCloudUtils
                 COMMENT "HTML API reference in ${PROJECT_BINARY_DIR}/docs/html")

# The reference stays complete: the test builds it, and fails on any Doxygen warning.
if(TUK_BUILD_TESTS)
    add_test(NAME docs_reference
             COMMAND ${CMAKE_COMMAND} --build ${PROJECT_BINARY_DIR} --target docs)
    set_tests_properties(docs_reference PROPERTIES TIMEOUT 300 RESOURCE_LOCK build_tree)
endif()
