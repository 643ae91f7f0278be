# Installation and packaging: the headers, the three libraries, the program,
# the README, the licence and the examples, the CMake package (zelkor::zelkor,
# zelkor::zelkor_static, zelkor::ZelkorD) and zelkor.pc.  Every installed file
# refers to the others relative to its own place, so the tree can be moved.
include(CMakePackageConfigHelpers)

set(ZELKOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zelkor)

install(TARGETS zelkor_shared zelkor_static ZelkorD EXPORT zelkorTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS zelkor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/zelkor.h include/zelkor_simplex.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/aij.txt examples/b.txt DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES examples/consumer/CMakeLists.txt examples/consumer/consumer.c
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/consumer)
install(FILES examples/simplex/CMakeLists.txt examples/simplex/simplex.c
  examples/simplex/afiro.mps examples/simplex/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/simplex)

install(EXPORT zelkorTargets NAMESPACE zelkor:: DESTINATION ${ZELKOR_CMAKE_DIR})
configure_package_config_file(cmake/zelkorConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zelkorConfig.cmake
  INSTALL_DESTINATION ${ZELKOR_CMAKE_DIR})
# Minor versions add to the interface and never change it.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zelkorConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zelkorConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/zelkorConfigVersion.cmake
  DESTINATION ${ZELKOR_CMAKE_DIR})

# zelkor.pc finds the prefix from its own directory.
file(RELATIVE_PATH ZELKOR_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" ZELKOR_PC_TO_PREFIX "${ZELKOR_PC_TO_PREFIX}")
configure_file(cmake/zelkor.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zelkor.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zelkor.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The licence: MIT (LICENSE).  The Debian copyright file, in the machine-
# readable format, in the documentation folder (/usr/share/doc/zelkor in the
# package), with the terms of LICENSE as its licence text.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ LICENSE zelkor_license)
string(REGEX REPLACE "^.*\n(Permission is hereby)" "\\1" zelkor_license "${zelkor_license}")
string(STRIP "${zelkor_license}" zelkor_license)
string(REPLACE "\n\n" "\n.\n" zelkor_license "${zelkor_license}")
string(REPLACE "\n" "\n " ZELKOR_LICENSE_TERMS " ${zelkor_license}")
configure_file(cmake/copyright.in ${CMAKE_CURRENT_BINARY_DIR}/copyright @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# cpack -G DEB: one package of the whole install tree under /usr.
set(CPACK_PACKAGE_NAME zelkor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "zelkor developers" CACHE STRING "Maintainer of the Debian package")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION math)
# The extended description below the summary line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "A sparse LU factorization library for the basis matrix of a simplex-method
linear-programming solver: the fast shared library libzelkor.so, its static
twin libzelkor.a, the library libZelkorD.so that verifies every solve, the
header zelkor.h, a CMake package and a pkg-config file, and the console
program zelkor that solves a system read from text files.")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The dependencies are computed from the binaries by dpkg-shlibdeps (dpkg-dev).
find_program(ZELKOR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZELKOR_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()
include(CPack)
