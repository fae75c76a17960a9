# What `cmake --install` puts where, and the Debian package made of it (`cpack -G DEB`, run by
# scripts/package.sh). Included at the end of the top-level CMakeLists.txt.
include(GNUInstallDirs)

# Man pages made from each program's --help at build time, compressed as Debian keeps them; the
# plain page stays in the build folder for `man -l`.
find_program(HELP2MAN help2man)
find_program(GZIP gzip)
function(pravune_man_page target summary)
    if(NOT HELP2MAN OR NOT GZIP)
        return()
    endif()
    set(page ${CMAKE_BINARY_DIR}/${target}.1)
    add_custom_command(OUTPUT ${page} ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
                ${HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
                --name ${summary} --output ${page} $<TARGET_FILE:${target}>
        COMMAND ${GZIP} -9nfk ${page}
        DEPENDS ${target} VERBATIM)
    add_custom_target(${target}-man ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

install(TARGETS pravune-cli pravune-vmodule RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
pravune_man_page(pravune-cli "program PRAVUNE modules from scripts and test fixtures")
pravune_man_page(pravune-vmodule "a virtual PRAVUNE module on this machine's HID core")
install(FILES packaging/70-pravune-bootloader.rules DESTINATION lib/udev/rules.d)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/pravune-loader)
# The pages README links to, beside it as in the source tree, so its links hold.
install(FILES docs/operator.md docs/scripting.md docs/administration.md docs/developer.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/pravune-loader/docs)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/pravune-loader RENAME copyright)

if(PRAVUNE_APP)
    install(TARGETS pravune-loader pravune-loader-demo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PRAVUNE_SAMPLE} DESTINATION ${CMAKE_INSTALL_DATADIR}/pravune-loader/examples)
    pravune_man_page(pravune-loader "program PRAVUNE modules through their USB bootloader")
    pravune_man_page(pravune-loader-demo "the PRAVUNE Loader on a virtual module")

    # The icon in the sizes a desktop asks for, drawn by the code that draws the window's icon.
    set(icons)
    foreach(size 16 22 24 32 48 64 128 256)
        set(png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/pravune-loader.png)
        add_custom_command(OUTPUT ${png}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
            COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                    $<TARGET_FILE:pravune-write-icon> ${png} ${size}
            DEPENDS pravune-write-icon VERBATIM)
        list(APPEND icons ${png})
        install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
    add_custom_target(pravune-icon ALL DEPENDS ${icons})

    configure_file(packaging/example.pravune.loader.metainfo.xml
                   ${CMAKE_BINARY_DIR}/example.pravune.loader.metainfo.xml @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/example.pravune.loader.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

    # The menu entries. Under /usr the programs are on every PATH and Exec names them alone;
    # elsewhere (a user's ~/.local, a folder of its own) Exec names the installed file, so the
    # menu starts it before a new login has put that folder on PATH.
    install(CODE "set(pravune_desktop_files \"${CMAKE_SOURCE_DIR}/packaging/pravune-loader.desktop;${CMAKE_SOURCE_DIR}/packaging/pravune-loader-demo.desktop\")
set(pravune_desktop_out \"${CMAKE_BINARY_DIR}/desktop\")
set(pravune_bindir \"${CMAKE_INSTALL_BINDIR}\")
set(pravune_datadir \"${CMAKE_INSTALL_DATADIR}\")")
    install(CODE [[
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(PRAVUNE_BINDIR "")
else()
    set(PRAVUNE_BINDIR "${CMAKE_INSTALL_PREFIX}/${pravune_bindir}/")
endif()
foreach(template IN LISTS pravune_desktop_files)
    get_filename_component(name "${template}" NAME)
    configure_file("${template}" "${pravune_desktop_out}/${name}" @ONLY)
    file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${pravune_datadir}/applications"
         TYPE FILE FILES "${pravune_desktop_out}/${name}")
endforeach()
]])
endif()

# The Debian package: pravune-loader_<version>_amd64.deb, installing under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pravune-loader)
set(CPACK_PACKAGE_VENDOR "PRAVUNE Module Works")
set(CPACK_PACKAGE_CONTACT "PRAVUNE Module Works <support@pravune.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "programs PRAVUNE USB modules on a production line")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The PRAVUNE Loader reads an Intel HEX file, waits for a PRAVUNE module in
bootloader mode, erases it, writes the image and an incrementing serial number,
and starts the application. Every download is recorded with its log.
.
The package holds the loader's window (pravune-loader), a demo on a virtual
module (pravune-loader-demo), the command-line loader for scripts and test
fixtures (pravune-cli), a virtual module through uhid (pravune-vmodule), and
the udev rule that lets the user at the seat open the module.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://pravune.example/")
# The shared libraries' packages come from dpkg-shlibdeps; these are what no library names: the
# Wayland platform plugin, and the fonts the window is laid out with.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libpq is loaded when a PostgreSQL record is used, so the library scan does not see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpq5, qt6-wayland, fonts-liberation2, fonts-wqy-zenhei")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "postgresql-client, sqlite3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
