# What the installed tree holds beside the programs, the desktop entry and the icons (manual
# pages, README, copyright, changelog), and the Debian package CPack makes of that tree:
#     cpack -G DEB    (scripts/build.sh package)
# `cmake --install` and the package lay out the same files; only the prefix differs.

find_program(VARNEL_GZIP gzip REQUIRED)

# Debian wants manual pages and the changelog compressed; CPack does neither. -9n: the best
# compression, and no name or time stamp in the archive, so equal sources give equal files.
function(varnel_gzip source output)
    get_filename_component(plain ${output} NAME_WLE)
    get_filename_component(dir ${output} DIRECTORY)
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${dir}/${plain}
        COMMAND ${VARNEL_GZIP} -9nf ${dir}/${plain}
        DEPENDS ${source}
        COMMENT "Compressing ${plain}"
        VERBATIM)
endfunction()

# Every page in resources/man, so a page added there is installed without a change here.
file(GLOB VARNEL_MAN_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/resources/man/*.1)
set(VARNEL_COMPRESSED_DOCS)
foreach(page ${VARNEL_MAN_PAGES})
    get_filename_component(name ${page} NAME)
    varnel_gzip(${page} ${PROJECT_BINARY_DIR}/man/${name}.gz)
    install(FILES ${PROJECT_BINARY_DIR}/man/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    list(APPEND VARNEL_COMPRESSED_DOCS ${PROJECT_BINARY_DIR}/man/${name}.gz)
endforeach()

# The SCPI server as a systemd unit template (instance: the port), not enabled by anything.
set(VARNEL_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
configure_file(${PROJECT_SOURCE_DIR}/resources/varnel-scpi@.service
    ${PROJECT_BINARY_DIR}/systemd/varnel-scpi@.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/systemd/varnel-scpi@.service
    DESTINATION lib/systemd/system)

# The package's documentation folder is named after the package, in lower case (GNUInstallDirs'
# DOCDIR would take the project's name, "Varnel").
set(VARNEL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/varnel)
varnel_gzip(${PROJECT_SOURCE_DIR}/resources/debian/changelog
    ${PROJECT_BINARY_DIR}/doc/changelog.gz)
list(APPEND VARNEL_COMPRESSED_DOCS ${PROJECT_BINARY_DIR}/doc/changelog.gz)
add_custom_target(varnel_docs ALL DEPENDS ${VARNEL_COMPRESSED_DOCS})
install(FILES
    ${PROJECT_SOURCE_DIR}/README.md
    ${PROJECT_SOURCE_DIR}/resources/debian/copyright
    ${PROJECT_BINARY_DIR}/doc/changelog.gz
    DESTINATION ${VARNEL_DOCDIR})

# --- the Debian package ---
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Varnel developers")
set(CPACK_PACKAGE_CONTACT "The Varnel developers <maintainers@varnel.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL https://varnel.org/)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "control panel for a tunable laser module on a serial port")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
Varnel sets the channel (1 to 89 on a 50 GHz grid), the optical output power
(7.00 to 13.00 dBm) and the output state of a tunable laser module on a serial
port, by slider, by step buttons or by typing, and shows the frequency, the
wavelength and the ITU label of the module's channel.

The package also holds varnel-ctl, which reads, sets and sweeps the module
from scripts and terminals, and varnel-module, which plays the laser module on
a pseudo-terminal, so that the panel can be tried without hardware.]=])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # varnel_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries come from dpkg-shlibdeps. The panel also needs what it loads at run time: Qt's
# platform plugins, Caladea (stands in for the dialog font) and Droid Sans Fallback (the step
# buttons' arrows).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-qpa-plugins, fonts-crosextra-caladea, fonts-droid-fallback")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Not the builder's umask: directories in a package are 0755.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
