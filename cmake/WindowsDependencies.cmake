# Dependencies of the Windows build, all from Debian's packages for the build machine.
# Header-only libraries come through a folder of links to their own header trees: adding
# /usr/include itself would put the host's C library in front of MinGW's.
set(UL_HOST_INCLUDE ${CMAKE_BINARY_DIR}/host-include)
file(MAKE_DIRECTORY ${UL_HOST_INCLUDE})
foreach(tree boost CLI nlohmann)
  if(NOT EXISTS /usr/include/${tree})
    message(FATAL_ERROR "/usr/include/${tree} is missing: run scripts/install-deps.sh")
  endif()
  if(NOT EXISTS ${UL_HOST_INCLUDE}/${tree})
    file(CREATE_LINK /usr/include/${tree} ${UL_HOST_INCLUDE}/${tree} SYMBOLIC)
  endif()
endforeach()

add_library(Boost::headers INTERFACE IMPORTED)
set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${UL_HOST_INCLUDE})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${UL_HOST_INCLUDE})
set(UL_CLI11_INCLUDE_DIR ${UL_HOST_INCLUDE})

# The MinGW runtime inside every program and px417.dll, whatever linker flags are given.
add_link_options(-static)

set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)

if(UL_BUILD_TESTS)
  # GoogleTest built from Debian's sources with this compiler. The tests run under Wine from
  # scripts/test-windows.sh, not through CTest.
  set(UL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  if(NOT EXISTS ${UL_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "${UL_GTEST_SOURCE} is missing: run scripts/install-deps.sh")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${UL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()
enable_language(RC)
