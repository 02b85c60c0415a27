# SPDX-License-Identifier: GPL-3.0-or-later
# tavrick_windows_resources(target description [ICON file.ico]): gives a Windows executable
# its manifest and version resource, compiled with the resource compiler (windres here).
function(tavrick_windows_resources target description)
    cmake_parse_arguments(PARSE_ARGV 2 resource "" "ICON" "")
    set(TAVRICK_TARGET ${target})
    set(TAVRICK_DESCRIPTION "${description}")
    set(TAVRICK_MANIFEST "${PROJECT_SOURCE_DIR}/cmake/windows/tavrick.manifest")
    set(TAVRICK_ICON_LINE "")
    if(resource_ICON)
        set(TAVRICK_ICON_LINE "1 ICON \"${resource_ICON}\"")
    endif()
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}.rc")
    configure_file("${PROJECT_SOURCE_DIR}/cmake/windows/version.rc.in" "${script}" @ONLY)
    target_sources(${target} PRIVATE "${script}")
    # A manifest change must rebuild the resource.
    set_source_files_properties("${script}" PROPERTIES OBJECT_DEPENDS "${TAVRICK_MANIFEST}")
endfunction()
