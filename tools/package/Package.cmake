# Installation layout and the Debian package (./run package: build/kelvane_<version>_amd64.deb).
# The package is built from a tree configured with CMAKE_INSTALL_PREFIX=/usr, so the machine
# folders (/etc/..., /usr/lib/mozilla/...) come out where the browsers read them.
include(GNUInstallDirs)
set(pkg ${PROJECT_SOURCE_DIR}/tools/package)
set(pkg_out ${PROJECT_BINARY_DIR}/package)
file(MAKE_DIRECTORY ${pkg_out})

# kelvane-setup, and a copy beside kelvane in build/bin so that it finds the built host.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/kelvane-setup DESTINATION ${CMAKE_INSTALL_BINDIR})
configure_file(${PROJECT_SOURCE_DIR}/tools/kelvane-setup ${PROJECT_BINARY_DIR}/bin/kelvane-setup COPYONLY)
if(TARGET dorvik-verify)
  install(TARGETS dorvik-verify RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# For programs that link the library.
configure_file(${pkg}/dorvik.pc.in ${pkg_out}/dorvik.pc @ONLY)
install(FILES ${pkg_out}/dorvik.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The extension's files, for an administrator's policy or a manual load.
install(FILES ${PROJECT_SOURCE_DIR}/extension/manifest.json ${PROJECT_SOURCE_DIR}/extension/background.js
              ${PROJECT_SOURCE_DIR}/extension/content.js
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvane/extension)
install(FILES ${PROJECT_SOURCE_DIR}/extension/page/kelvane.js DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvane/extension/page)

# Manual pages, compressed as Debian wants them.
set(man_pages kelvane kelvane-setup)
if(TARGET dorvik-verify)
  list(APPEND man_pages dorvik-verify)
endif()
foreach(page ${man_pages})
  add_custom_command(OUTPUT ${pkg_out}/${page}.1.gz
    COMMAND sh -c "gzip -9n < '${PROJECT_SOURCE_DIR}/tools/man/${page}.1' > '${pkg_out}/${page}.1.gz'"
    DEPENDS ${PROJECT_SOURCE_DIR}/tools/man/${page}.1 VERBATIM)
  list(APPEND man_outputs ${pkg_out}/${page}.1.gz)
  install(FILES ${pkg_out}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# The machine-wide native messaging manifests, written by kelvane-setup itself.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(manifest_root ${pkg_out}/manifests)
add_custom_command(OUTPUT ${manifest_root}/stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${manifest_root}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/kelvane-setup install --system --root ${manifest_root}
          --binary ${CMAKE_INSTALL_FULL_BINDIR}/kelvane
  COMMAND ${CMAKE_COMMAND} -E touch ${manifest_root}/stamp
  DEPENDS ${PROJECT_SOURCE_DIR}/tools/kelvane-setup VERBATIM)

# Debian's documentation files.
configure_file(${pkg}/changelog ${pkg_out}/changelog @ONLY)
add_custom_command(OUTPUT ${pkg_out}/changelog.Debian.gz
  COMMAND sh -c "gzip -9n < '${pkg_out}/changelog' > '${pkg_out}/changelog.Debian.gz'"
  DEPENDS ${pkg}/changelog VERBATIM)
add_custom_target(package_files ALL DEPENDS ${man_outputs} ${manifest_root}/stamp ${pkg_out}/changelog.Debian.gz)
install(FILES ${pkg}/copyright ${pkg_out}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelvane)

# Machine folders, fixed by the browsers (see kelvane-setup), installed only under /usr.
# Chrome's and Edge's folders are under /etc/opt, where Debian packages ship no files: their
# manifest is carried in /usr/share/kelvane/native-messaging-hosts and put in place by postinst.
set(manifest_dirs etc/chromium/native-messaging-hosts usr/lib/mozilla/native-messaging-hosts)
install(FILES ${manifest_root}/etc/opt/chrome/native-messaging-hosts/com.tessaly.kelvane.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvane/native-messaging-hosts)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(conffiles "")
  foreach(dir ${manifest_dirs})
    install(FILES ${manifest_root}/${dir}/com.tessaly.kelvane.json DESTINATION /${dir})
    if(dir MATCHES "^etc/")
      string(APPEND conffiles "/${dir}/com.tessaly.kelvane.json\n")
    endif()
  endforeach()
  file(WRITE ${pkg_out}/conffiles "${conffiles}")
endif()

configure_file(${pkg}/shlibs.in ${pkg_out}/shlibs @ONLY)
file(COPY ${pkg}/triggers DESTINATION ${pkg_out})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tessaly <kelvane@tessaly.example>")
set(CPACK_PACKAGE_VENDOR Tessaly)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "document signing host for web browsers, and the dorvik library")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "kelvane is the native messaging host of the Tessaly Kelvane browser extension:
 web pages ask it for CMS and PAdES signatures made with the user's certificates
 (NSS databases, smart cards through PKCS#11). The package holds the host, the
 machine-wide host manifests for Chrome, Chromium, Brave, Edge, Vivaldi and
 Firefox, kelvane-setup to register and check it, the extension's files, and
 libdorvik with its header and pkg-config file.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tessaly.example/kelvane")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libnss3, libgtk-3-0, libssl3, zlib1g, libfreeimage3, python3")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libnss3-tools")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${pkg_out}/conffiles;${pkg_out}/shlibs;${pkg_out}/triggers;${pkg}/postinst;${pkg}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/build)
include(CPack)
