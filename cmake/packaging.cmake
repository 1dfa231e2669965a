# What `cmake --install` puts under the prefix, and the Debian package CPack
# makes of the same files (cpack -G DEB in the build folder).
include(GNUInstallDirs)

install(TARGETS iothrash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS scripts/iothrash-plot DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page and the package's changelog are installed compressed, as
# Debian and FreeBSD install theirs; -n keeps the name and time out of the
# gzip header, so the same source gives the same bytes.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(compressed_dir ${CMAKE_CURRENT_BINARY_DIR}/compressed)
file(MAKE_DIRECTORY ${compressed_dir})
set(compressed_files)
foreach(source man/iothrash.1 cmake/debian/changelog)
  get_filename_component(name ${source} NAME)
  add_custom_command(
    OUTPUT ${compressed_dir}/${name}.gz
    COMMAND ${GZIP_PROGRAM} -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/${source} > ${compressed_dir}/${name}.gz
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source}
    VERBATIM)
  list(APPEND compressed_files ${compressed_dir}/${name}.gz)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed_files})
# One page documents both programs: iothrash-plot's is a link to it.
file(CREATE_LINK iothrash.1.gz ${compressed_dir}/iothrash-plot.1.gz SYMBOLIC)
install(FILES ${compressed_dir}/iothrash.1.gz ${compressed_dir}/iothrash-plot.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Debian wants both under /usr/share/doc/iothrash; copyright is LICENSE in
# its machine-readable form.
install(FILES cmake/debian/copyright ${compressed_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(IOTHRASH_MAINTAINER "iothrash maintainers <maintainers@users.noreply.c-seed-ce2e26f6.example>"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME iothrash)
# The version is the project's own, from project().
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "random direct-I/O load on a file or disk, with a latency table")
set(CPACK_PACKAGE_DESCRIPTION
    "iothrash loads one file or disk device with random direct-I/O reads and
writes from many threads at once and prints, every few seconds, the operations
per second and the minimum, mean, maximum and standard deviation of their
latency, for reads and writes separately. iothrash-plot draws a saved report
as a PNG picture. Writes destroy the data on the target.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${IOTHRASH_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The C and C++ libraries the program links, as dpkg-shlibdeps (dpkg-dev)
# finds them. gnuplot is only recommended: only iothrash-plot needs it, and
# the plot says what to install when it is missing (gnuplot-qt and
# gnuplot-x11 provide gnuplot-nox too).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnuplot-nox")
include(CPack)
