# SPDX-License-Identifier: MIT
# Debian packages from CPack, one a component:
#   libquillbar0      the shared library (stripped, shlibs, ldconfig trigger)
#   libquillbar-dev   header, .so link, pkg-config and CMake files, quillbar(3)
#   quillbar-tools    quillbar-preview and quillbar-text2png with their pages
#   python3-quillbar  the Python module
# Each carries the copyright and a Debian changelog. Configure with
# CMAKE_INSTALL_PREFIX=/usr so the library lands in the multiarch directory
# (scripts/check-package.sh does). With SOURCE_DATE_EPOCH set in the
# environment of cmake and cpack (the last commit's time, say), two builds
# give byte-identical packages: the changelog's date and every timestamp in
# the packages come from it.
set(QUILLBAR_DEB_REVISION 1)
set(QUILLBAR_DEB_VERSION ${PROJECT_VERSION}-${QUILLBAR_DEB_REVISION})
set(QUILLBAR_MAINTAINER "quillbar developers <dev@quillbar.invalid>")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools python)
set(CPACK_PACKAGE_NAME quillbar)
set(CPACK_PACKAGE_VENDOR "quillbar")
set(CPACK_PACKAGE_CONTACT ${QUILLBAR_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUILLBAR_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quillbar.invalid/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libquillbar0)
# CPack writes no Multi-Arch field of its own: it follows the section, on a
# line of its own. The library and its -dev package install side by side for
# several architectures (arch-dependent files in the multiarch directory,
# the rest identical).
set(QUILLBAR_MULTI_ARCH "\nMulti-Arch: same")
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION "libs${QUILLBAR_MULTI_ARCH}")
# libcups is loaded only when a print-server route opens, so dpkg-shlibdeps
# does not see it: it is recommended, as the fonts are.
set(CPACK_DEBIAN_LIB_PACKAGE_RECOMMENDS "libcups2, fonts-wqy-zenhei, fonts-arphic-uming, fonts-arphic-ukai")
# fontconfig is opened when a face is first looked up, and FreeType when
# Chinese text is first drawn, so dpkg-shlibdeps sees neither; Chinese text
# needs both: dependencies.
set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "libfontconfig1 (>= 2.13), libfreetype6 (>= 2.10)")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_LIB_DESCRIPTION "print labels on EPL2 thermal label printers
quillbar turns calls of a flat C API (QB_PortOpen, QB_PrintBarcode,
QB_PrintChineseStr, QB_Print, ...) into EPL2 command lines written to a
serial or parallel port, a USB printer, a file or a network printer. Chinese
text is drawn on the host with FreeType and sent as a bitmap.
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libquillbar-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION "libdevel${QUILLBAR_MULTI_ARCH}")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libquillbar0 (= ${QUILLBAR_DEB_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "print labels on EPL2 thermal label printers - development files
quillbar turns calls of a flat C API into EPL2 command lines for thermal
label printers.
.
This package holds the header, the pkg-config and CMake package files and
the quillbar(3) manual page.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME quillbar-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# dpkg-shlibdeps finds our library in the build tree, where no package tells
# what it depends on: the dependency is given here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libquillbar0 (>= ${QUILLBAR_DEB_VERSION})")
# quillbar-preview opens cairo for PDF files, and libmicrohttpd and
# http-parser for --http, when they are asked for: dpkg-shlibdeps cannot see
# them.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "libcairo2, libmicrohttpd12, libhttp-parser2.9")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "virtual EPL2 label printer and text renderer
quillbar-preview renders what an EPL2 label printer would print for a
command stream, or serves as such a printer on a pseudo-terminal or the
network; its web service (--http, with /metrics for Prometheus) runs as
/usr/libexec/quillbar/quillbar-preview-web.
quillbar-text2png shows text as the quillbar library sends it.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-quillbar)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, libquillbar0 (>= ${QUILLBAR_DEB_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "print labels on EPL2 thermal label printers - Python module
A typed Python module over the quillbar library: a Printer that routes,
opens and closes a port, one method a function, and quillbar.Error with
the library's code and message.")

# The ldconfig trigger does what CPack's postinst and postrm would do by
# calling ldconfig; scripts of ours keep CPack from writing those.
set(QUILLBAR_DEB_CONTROL ${CMAKE_CURRENT_BINARY_DIR}/deb-control)
file(MAKE_DIRECTORY ${QUILLBAR_DEB_CONTROL})
file(WRITE ${QUILLBAR_DEB_CONTROL}/triggers "activate-noawait ldconfig\n")
foreach(script postinst postrm)
  file(WRITE ${QUILLBAR_DEB_CONTROL}/${script}
    "#!/bin/sh\nset -e\n# ldconfig runs from the package's trigger (triggers).\nexit 0\n")
  file(CHMOD ${QUILLBAR_DEB_CONTROL}/${script} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
# The symbols file says which version brought each export (checked against
# the library with dpkg-gensymbols by scripts/check-package.sh).
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/abi/libquillbar0.symbols ${QUILLBAR_DEB_CONTROL}/symbols COPYONLY)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${QUILLBAR_DEB_CONTROL}/triggers ${QUILLBAR_DEB_CONTROL}/postinst
  ${QUILLBAR_DEB_CONTROL}/postrm ${QUILLBAR_DEB_CONTROL}/symbols)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Copyright (machine-readable) and changelog in every package's doc folder.
# The date is SOURCE_DATE_EPOCH's where it is set (string(TIMESTAMP) reads it).
string(TIMESTAMP QUILLBAR_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE QUILLBAR_LICENSE_TEXT)
string(REGEX REPLACE "^MIT License\n\nCopyright[^\n]*\n\n" "" QUILLBAR_LICENSE_BODY "${QUILLBAR_LICENSE_TEXT}")
string(REGEX REPLACE "\n\n" "\n.\n" QUILLBAR_LICENSE_BODY "${QUILLBAR_LICENSE_BODY}")
string(REGEX REPLACE "\n([^\n])" "\n \\1" QUILLBAR_LICENSE_BODY "${QUILLBAR_LICENSE_BODY}")
set(QUILLBAR_COPYRIGHT "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: quillbar
Upstream-Contact: ${QUILLBAR_MAINTAINER}

Files: *
Copyright: 2026 the quillbar developers
License: Expat

License: Expat
 ${QUILLBAR_LICENSE_BODY}")
foreach(component lib dev tools python)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(doc ${CMAKE_CURRENT_BINARY_DIR}/deb-doc/${package})
  file(MAKE_DIRECTORY ${doc})
  file(WRITE ${doc}/copyright "${QUILLBAR_COPYRIGHT}")
  file(WRITE ${doc}/changelog.Debian "${package} (${QUILLBAR_DEB_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}: see the project's history for what changed.

 -- ${QUILLBAR_MAINTAINER}  ${QUILLBAR_DEB_DATE}
")
  # The Debian packages' own files: made by the packages (a component at a
  # time), not by an install from source.
  install(FILES ${doc}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component}
    EXCLUDE_FROM_ALL)
  execute_process(COMMAND gzip -9nf -k ${doc}/changelog.Debian)
  install(FILES ${doc}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# Manual pages go compressed, as Debian has them.
foreach(page quillbar.3 quillbar-preview.1 quillbar-text2png.1)
  string(REGEX MATCH "[0-9]$" section ${page})
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)
  execute_process(COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/man/${page} OUTPUT_FILE ${gz})
  set(component tools)
  if(section STREQUAL "3")
    set(component dev)
  elseif(NOT QUILLBAR_BUILD_TOOLS)
    continue()  # no tools, no pages of theirs
  endif()
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()

# One page name a function: "man QB_PortOpen" shows quillbar(3).
foreach(entry ${QUILLBAR_EXPORTS})
  string(REGEX REPLACE ":.*" "" name ${entry})
  set(link ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.3)
  file(WRITE ${link} ".so man3/quillbar.3\n")
  execute_process(COMMAND gzip -9n -f ${link})
  install(FILES ${link}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)
endforeach()

include(CPack)
