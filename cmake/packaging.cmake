# What `cmake --install` puts under the prefix, and the Debian package CPack
# makes of the same files (cpack -G DEB in the build folder).
include(GNUInstallDirs)

install(TARGETS iothrash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS scripts/iothrash-plot DESTINATION ${CMAKE_INSTALL_BINDIR})
# iothrash-plot.1 only points man at the one page that documents both.
install(FILES man/iothrash.1 man/iothrash-plot.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

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
# finds them; gnuplot draws for iothrash-plot (gnuplot-qt and gnuplot-x11
# provide gnuplot-nox too).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "gnuplot-nox")
include(CPack)
