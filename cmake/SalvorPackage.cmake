# The Debian package: `cpack -G DEB` in a build folder packages what
# `cmake --install` puts in place, under /usr.
set(CPACK_PACKAGE_NAME salvor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "salvor")
set(CPACK_PACKAGE_CONTACT "salvor developers <salvor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recovers deleted and lost files from disks, memory cards and images")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "salvor finds files deleted from NTFS, FAT, exFAT, ext2, ext3 and HFS+ volumes, rebuilds the folders\n"
    "of formatted NTFS and FAT volumes, carves photos, music, video and documents by their content, and\n"
    "repairs lost partition tables. It only reads the scanned device; recovered files are created new\n"
    "elsewhere. Includes the desktop program salvor and the command-line tool salvor-cli.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)

# What the program needs at run time besides the libraries it links: the Qt
# platform plugins (a window at all), the image plugins (TIFF previews), the
# face "Arial" maps to, the file-type icons, and xdg-open for Help.
set(salvor_runtime_packages "fonts-liberation, adwaita-icon-theme, qt6-qpa-plugins, qt6-image-formats-plugins")
find_program(SALVOR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(SALVOR_DPKG_SHLIBDEPS)
  # The linked libraries' packages (libqt6widgets6, libstdc++6, libc6, ...)
  # are worked out from the binaries.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${salvor_runtime_packages}")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "${salvor_runtime_packages}, libqt6widgets6, libqt6gui6, libqt6core6, libstdc++6, libgcc-s1, libc6")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gddrescue, testdisk")
include(CPack)
