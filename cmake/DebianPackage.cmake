# The Debian package of kdx4610-update (cpack -G DEB in the build tree, or the target
# `package`): kdx4610-update_1.58-1_amd64.deb with the program in /usr/sbin, its man page
# kdx4610-update(8), and the Linux section of docs/notebook.md with the copyright and the
# Debian changelog in /usr/share/doc/kdx4610-update. No udev rule comes with it: the AUX
# and I2C nodes stay root's (docs/notebook.md says why).
set(kdx_package_dir ${CMAKE_BINARY_DIR}/package-files)
file(MAKE_DIRECTORY ${kdx_package_dir})

# Man page and changelog compressed as Debian wants them: gzip -9 without a name or a time.
find_program(KDX_GZIP gzip REQUIRED)
foreach(source IN ITEMS packaging/linux/kdx4610-update.8 packaging/linux/changelog.Debian)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${kdx_package_dir}/${name}.gz
        COMMAND ${KDX_GZIP} -9nc ${CMAKE_SOURCE_DIR}/${source} > ${kdx_package_dir}/${name}.gz
        DEPENDS ${CMAKE_SOURCE_DIR}/${source})
    list(APPEND kdx_package_outputs ${kdx_package_dir}/${name}.gz)
endforeach()
add_custom_target(kdx_package_files ALL DEPENDS ${kdx_package_outputs})

# The notebook owner's Linux section, from its heading to the next heading of its level.
set(notebook ${CMAKE_SOURCE_DIR}/docs/notebook.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${notebook})
file(READ ${notebook} text)
string(FIND "${text}" "\n## On Linux: kdx4610-update\n" start)
if(start LESS 0)
    message(FATAL_ERROR "docs/notebook.md has no section \"## On Linux: kdx4610-update\"")
endif()
math(EXPR start "${start} + 1")
string(SUBSTRING "${text}" ${start} -1 section)
string(SUBSTRING "${section}" 3 -1 rest)
string(FIND "${rest}" "\n## " end)
if(end GREATER_EQUAL 0)
    math(EXPR end "${end} + 4")
    string(SUBSTRING "${section}" 0 ${end} section)
endif()
file(WRITE ${kdx_package_dir}/README.md "${section}")

set(kdx_doc share/doc/kdx4610-update)
install(FILES ${kdx_package_dir}/kdx4610-update.8.gz DESTINATION share/man/man8)
install(FILES ${kdx_package_dir}/README.md ${CMAKE_SOURCE_DIR}/packaging/linux/copyright
              ${kdx_package_dir}/changelog.Debian.gz
        DESTINATION ${kdx_doc})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kdx4610-update)
set(CPACK_PACKAGE_VERSION 1.58)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KDX4610 updater developers <kdx4610-updater@lists.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the KDX4610 HDMI converter chip")
# The extended description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "kdx4610-update writes firmware 1.58 into the flash of the KDX4610, the
chip that turns a notebook's DisplayPort output into HDMI, over the
kernel's DisplayPort AUX and I2C-over-AUX nodes (CONFIG_DRM_DP_AUX_CHARDEV
and the module i2c-dev). It runs as root, holds off stop signals, sleep
and shutdown while the flash is written, and lets only one update run at
a time.")
# Dependencies from the program's shared libraries (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
