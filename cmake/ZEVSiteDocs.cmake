# The API reference: `cmake --build <dir> --target docs` writes <dir>/docs/html/index.html,
# with the host developer's guide (docs/guide.md) as its front page.
# Only the public headers are read, and any Doxygen warning (an undocumented public
# operation among them) fails the target, so the reference cannot fall behind the headers.
find_package(Doxygen REQUIRED)

set(DOXYGEN_PROJECT_NAME "ZEVSite SDK")
set(DOXYGEN_PROJECT_NUMBER ${PROJECT_VERSION})
set(DOXYGEN_PROJECT_BRIEF "C++20 site-analytics SDK")
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
set(DOXYGEN_GENERATE_HTML YES)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_GENERATE_TREEVIEW YES)

set(DOXYGEN_EXTRACT_ALL NO)
set(DOXYGEN_EXTRACT_PRIVATE NO)
set(DOXYGEN_EXTRACT_STATIC YES)
set(DOXYGEN_DISTRIBUTE_GROUP_DOC YES)
# The first sentence of a comment is its summary in the member lists.
set(DOXYGEN_JAVADOC_AUTOBRIEF YES)
set(DOXYGEN_WARN_IF_UNDOCUMENTED YES)
set(DOXYGEN_WARN_IF_DOC_ERROR YES)
set(DOXYGEN_WARN_IF_INCOMPLETE_DOC NO)
set(DOXYGEN_WARN_NO_PARAMDOC NO)
# Doxygen 1.9's YES stops at the first warning; FAIL_ON_WARNINGS reports them all and then
# exits non-zero, which fails the build.
set(DOXYGEN_WARN_AS_ERROR FAIL_ON_WARNINGS)
set(DOXYGEN_QUIET YES)

# The headers are documented as the host includes them: <ZEVSiteSDK/...>.
set(DOXYGEN_FULL_PATH_NAMES YES)
set(DOXYGEN_STRIP_FROM_PATH ${PROJECT_SOURCE_DIR}/include ${PROJECT_BINARY_DIR}/include)
set(DOXYGEN_STRIP_FROM_INC_PATH ${PROJECT_SOURCE_DIR}/include ${PROJECT_BINARY_DIR}/include)
# ZEVSITE_EXPORT is empty in the reference; the visibility attributes are not API.
set(DOXYGEN_ENABLE_PREPROCESSING YES)
set(DOXYGEN_MACRO_EXPANSION YES)
set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
set(DOXYGEN_PREDEFINED "ZEVSITE_EXPORT=")

# The host developer's guide is the front page.
set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/docs/guide.md)
set(DOXYGEN_IMAGE_PATH ${PROJECT_SOURCE_DIR}/docs)

file(GLOB ZEVSITE_PUBLIC_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/ZEVSiteSDK/*.h)
# Part of the default build, so that `cmake --install` finds the HTML it installs.
doxygen_add_docs(docs ALL
  ${ZEVSITE_PUBLIC_HEADERS}
  ${PROJECT_BINARY_DIR}/include/ZEVSiteSDK/ZEVSiteVersion.h
  ${PROJECT_SOURCE_DIR}/docs/guide.md
  COMMENT "API reference (Doxygen) in ${PROJECT_BINARY_DIR}/docs/html")
