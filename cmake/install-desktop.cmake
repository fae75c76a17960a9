# Run by `cmake --install` (packaging/CMakeLists.txt sets pravune_desktop_files,
# pravune_desktop_out, pravune_bindir and pravune_datadir before it): the menu entries, with Exec
# naming the program alone under /usr and the installed file elsewhere.
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
