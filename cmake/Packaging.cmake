# Install layout (programs, modules, manual pages, README, licence and example modules) and the
# Debian package that `make package` builds from it with CPack.
include(GNUInstallDirs)

# GNUInstallDirs would name the folder after the project ("Corvane"); the package is "corvane".
set(CORVANE_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/corvane)

# Only the programs users type are on PATH; the modules, whose names would clash with anything,
# sit in a folder of their own that corvane-batch looks in first.
set(CORVANE_MODULES_DIR lib/corvane/modules)
set(CORVANE_SHARE_DIR ${CMAKE_INSTALL_DATAROOTDIR}/corvane)
install(TARGETS corvane corvane-batch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS template ambrel RUNTIME DESTINATION ${CORVANE_MODULES_DIR})
install(FILES README.md DESTINATION ${CORVANE_DOC_DIR})
# Manual pages and the changelog go compressed, as Debian wants them (gzip -n: no time stamp, so
# two builds give the same package); the copyright file beside the README names every licence.
set(CORVANE_GZIPPED)
foreach(source man/corvane.1 man/corvane-batch.1 man/template.1 man/ambrel.1 man/corvane-module.7
               cmake/debian/changelog)
  get_filename_component(name ${source} NAME)
  set(gzipped ${CMAKE_BINARY_DIR}/gzipped/${name}.gz)
  add_custom_command(OUTPUT ${gzipped} DEPENDS ${PROJECT_SOURCE_DIR}/${source}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/gzipped
                     COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/${source} > ${gzipped})
  list(APPEND CORVANE_GZIPPED ${gzipped})
endforeach()
add_custom_target(corvane_gzipped_docs ALL DEPENDS ${CORVANE_GZIPPED})
set(CORVANE_GZIP_DIR ${CMAKE_BINARY_DIR}/gzipped)
install(FILES ${CORVANE_GZIP_DIR}/corvane.1.gz ${CORVANE_GZIP_DIR}/corvane-batch.1.gz
              ${CORVANE_GZIP_DIR}/template.1.gz ${CORVANE_GZIP_DIR}/ambrel.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CORVANE_GZIP_DIR}/corvane-module.7.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man7)
install(FILES cmake/debian/copyright ${CORVANE_GZIP_DIR}/changelog.gz DESTINATION ${CORVANE_DOC_DIR})
# The README shows these pictures by their relative path.
install(DIRECTORY docs/ DESTINATION ${CORVANE_DOC_DIR}/docs FILES_MATCHING PATTERN "*.png")
# The scripts keep their execute bit so they can be run in place; the C ones are compiled first. Each
# example finds its kit in kits/ next to it, so the two folders are installed side by side.
install(PROGRAMS examples/invert.py examples/greyscale.js examples/vignette.js examples/thumbnail.py
                 examples/crop.js DESTINATION ${CORVANE_SHARE_DIR}/examples)
install(FILES examples/sepia.c examples/quarter-turn.c DESTINATION ${CORVANE_SHARE_DIR}/examples)
install(FILES examples/kits/corvane_module.py examples/kits/corvane-module.js examples/kits/corvane_module.h
        DESTINATION ${CORVANE_SHARE_DIR}/examples/kits)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_CONTACT "Corvane maintainers <maintainers@corvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "apply image filters written in any language to a picture")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Only the example modules need these, and only when someone runs them.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, nodejs")
# CPack puts the summary above this as the first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Corvane hands the pixels of a picture to a filter program (a module) through
two files and saves the module's answer. Modules can be written in any
language that reads and writes files. Reads BMP, TGA, PNG, JPEG and GIF;
writes BMP, TGA, PNG and JPEG. corvane-batch applies a module to many pictures,
several at once. Comes with two modules, template and ambrel, and example
modules in Python, JavaScript and C.")
# dpkg-shlibdeps (dpkg-dev) computes the library versions from the programs themselves; without
# it the same runtime libraries are stated by hand, at the versions Debian 12 ships.
find_program(CORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(CORVANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libturbojpeg0 (>= 1:2.1), libspng0 (>= 0.7), libgif7 (>= 5.1), libstdc++6 (>= 12), libgcc-s1 (>= 3.0), libc6 (>= 2.34)")
endif()

include(CPack)
