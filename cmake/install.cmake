# Install rules, the CMake package quenvira-vnc (target quenvira::vnc), the
# pkg-config file quenvira-vnc.pc and, for the top-level project, CPack
# packages: a .deb on Linux, a zip on Windows. Tools install themselves from
# tools/CMakeLists.txt.

set(QV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quenvira-vnc)

install(TARGETS quenvira-vnc EXPORT quenvira-vnc-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/quenvira_vnc.h
  ${PROJECT_SOURCE_DIR}/include/quenvira_vnc_keysyms.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/quenvira-vnc.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
elseif(NOT APPLE)
  # Made by the library's POST_BUILD step; installed as the link it is.
  install(FILES $<TARGET_FILE_DIR:quenvira-vnc>/lib$<TARGET_FILE_NAME:quenvira-vnc>
    DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quenvira-vnc)
# The pages the README links to, in docs/ beside it as in the sources, so
# that its links work there too (docs/man is installed as man pages).
set(_qv_doc_pages)
foreach(page development install interface options performance python servers tools windows)
  list(APPEND _qv_doc_pages ${PROJECT_SOURCE_DIR}/docs/${page}.md)
endforeach()
install(FILES ${_qv_doc_pages} ${PROJECT_SOURCE_DIR}/docs/vnc-view.png
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quenvira-vnc/docs)
if(NOT WIN32)
  # What a Debian package has in its doc directory (packaging/): the
  # copyright file and the changelog; and lintian's overrides, each with why.
  include(${CMAKE_CURRENT_LIST_DIR}/gzip_install.cmake)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quenvira-vnc)
  qv_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/changelog
    ${CMAKE_INSTALL_DATAROOTDIR}/doc/quenvira-vnc)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/quenvira-vnc/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME quenvira-vnc)
endif()

include(CMakePackageConfigHelpers)
install(EXPORT quenvira-vnc-targets NAMESPACE quenvira:: DESTINATION ${QV_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/quenvira-vnc-config.cmake.in
  ${PROJECT_BINARY_DIR}/quenvira-vnc-config.cmake INSTALL_DESTINATION ${QV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quenvira-vnc-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quenvira-vnc-config.cmake
  ${PROJECT_BINARY_DIR}/quenvira-vnc-config-version.cmake DESTINATION ${QV_CMAKE_DIR})

# pkg-config carries absolute paths, and the prefix is known only when
# installing (cmake --install --prefix, CPack), so the file is written then.
# A zip can be unpacked anywhere: there the paths are relative to the file.
if(WIN32)
  file(RELATIVE_PATH _qv_pc_up /x/${CMAKE_INSTALL_LIBDIR}/pkgconfig /x)
  string(REGEX REPLACE "/$" "" _qv_pc_up "${_qv_pc_up}")
  set(_qv_pc_prefix "\\\${pcfiledir}/${_qv_pc_up}")
else()
  set(_qv_pc_prefix "\${CMAKE_INSTALL_PREFIX}")
endif()
install(CODE "
  set(QV_PC_PREFIX \"${_qv_pc_prefix}\")
  set(QV_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(QV_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(QV_PC_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/quenvira-vnc.pc.in\"
    \"${PROJECT_BINARY_DIR}/quenvira-vnc.pc\" @ONLY)
")
install(FILES ${PROJECT_BINARY_DIR}/quenvira-vnc.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(NOT QV_TOP_LEVEL)
  return()
endif()

set(CPACK_PACKAGE_NAME quenvira-vnc)
set(CPACK_PACKAGE_VENDOR quenvira-vnc)
# No address is stated anywhere in the project: .invalid says so (RFC 2606)
# where Debian wants one. packaging/changelog names the same.
set(CPACK_PACKAGE_CONTACT "quenvira-vnc developers <packages@quenvira-vnc.invalid>")
set(QV_PACKAGE_DESCRIPTION "A VNC (RFB 3.3, 3.7, 3.8) client library in C++17 with a flat C
interface: one worker thread per connection keeps an in-memory framebuffer
current; the host polls the changed area, reads the pixels under a lock and
sends pointer, key and clipboard input. With the header, the CMake package,
the pkg-config file and the command-line tools.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git" "/build/")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VNC (RFB) client library with a flat C interface")
  set(CPACK_PACKAGE_DESCRIPTION "${QV_PACKAGE_DESCRIPTION}")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # The library's package, with everything that is not in another install
  # component. Its description's first line is the summary: a global
  # summary would go in front of the Python package's description too.
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "VNC (RFB) client library with a flat C interface\n${QV_PACKAGE_DESCRIPTION}")
  # Depends from the binaries, so each tool brings what it links.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/quenvira-vnc/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # With QV_INSTALL_PYTHON, one .deb per install component: the library
  # (component "Unspecified") and python3-quenvira-vnc ("python").
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME quenvira-vnc)
  set(CPACK_DEBIAN_UNSPECIFIED_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")

  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-quenvira-vnc)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SOURCE quenvira-vnc)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
  # The modules load the library of the same release or a later one; Pillow
  # and numpy widen what images can do when they are there.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "quenvira-vnc (>= ${PROJECT_VERSION}), python3")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-pil, python3-numpy")
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python package and vnc-do command for the quenvira-vnc library
The quenvira_vnc module watches and drives VNC (RFB) servers through the
quenvira-vnc library: capture the screen, wait for a picture, move and
click the pointer, type, paste. vnc-do runs such steps from the command
line or a script file.")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/python3-quenvira-vnc/postinst
    ${PROJECT_SOURCE_DIR}/packaging/python3-quenvira-vnc/prerm)
endif()
include(CPack)
