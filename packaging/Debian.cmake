# The Debian package (`make deb`): both programs with their resources, the
# manual page, completion for bash, zsh and fish, the desktop entry and
# the icon, under /usr, with the package dependencies dpkg-shlibdeps finds
# and the documentation files Debian's policy asks for.
include(GNUInstallDirs)
set(debianDoc "${CMAKE_INSTALL_DATADIR}/doc/tessaline")
find_program(GZIP gzip REQUIRED)
# Compressed without a name or a time in the header, so that the package
# comes out the same on every build.
foreach(pair "packaging/debian/changelog=changelog.Debian.gz" "docs/tessaline.1=tessaline.1.gz"
             "README.md=README.md.gz")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 from)
  list(GET pair 1 to)
  add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/deb/${to}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/deb"
    COMMAND ${GZIP} -9n -c "${CMAKE_SOURCE_DIR}/${from}" > "${CMAKE_BINARY_DIR}/deb/${to}"
    DEPENDS "${CMAKE_SOURCE_DIR}/${from}")
  list(APPEND debianFiles "${CMAKE_BINARY_DIR}/deb/${to}")
endforeach()
add_custom_target(debian_files ALL DEPENDS ${debianFiles})
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/deb")
file(CREATE_LINK tessaline.1.gz "${CMAKE_BINARY_DIR}/deb/tessaline-qt.1.gz" SYMBOLIC)
install(FILES packaging/debian/copyright "${CMAKE_BINARY_DIR}/deb/changelog.Debian.gz"
  "${CMAKE_BINARY_DIR}/deb/README.md.gz" DESTINATION "${debianDoc}")
install(FILES "${CMAKE_BINARY_DIR}/deb/tessaline.1.gz" "${CMAKE_BINARY_DIR}/deb/tessaline-qt.1.gz"
  DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaline)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy iTunes playlists and their music onto a Tessaline drive")
# CPack puts the summary first and indents the lines itself.
set(CPACK_PACKAGE_DESCRIPTION
  "Tessaline Exporter reads the XML file in which iTunes or the Music app
describes its library, copies the chosen playlists and the music files
they mention onto a portable drive of the Vextra Tessaline line, writes
one .m3u8 playlist file per playlist, tells beforehand what each
playlist still needs, and removes from the drive only the files it
wrote itself that no playlist needs any more.

It comes as a command (tessaline) and a window (tessaline gui).")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
  "Tessaline Exporter maintainers <maintainers@users.noreply.c-seed-19ba5ae5.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its platform plugins at run time, out of dpkg-shlibdeps' sight:
# the window needs the X11 or Wayland one. FFmpeg's libraries too are
# loaded when first used (session/FFmpegLibrary.h), of the major versions
# the program was built against.
string(REGEX MATCH "^[0-9]+" _avformat_major "${FFMPEG_libavformat_VERSION}")
string(REGEX MATCH "^[0-9]+" _avcodec_major "${FFMPEG_libavcodec_VERSION}")
string(REGEX MATCH "^[0-9]+" _avutil_major "${FFMPEG_libavutil_VERSION}")
string(REGEX MATCH "^[0-9]+" _swresample_major "${FFMPEG_libswresample_VERSION}")
string(REGEX MATCH "^[0-9]+" _swscale_major "${FFMPEG_libswscale_VERSION}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libavformat${_avformat_major}, \
libavcodec${_avcodec_major}, libavutil${_avutil_major}, libswresample${_swresample_major}, \
libswscale${_swscale_major}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
