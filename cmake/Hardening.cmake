# SPDX-License-Identifier: GPL-3.0-or-later
# Debian's hardening flags for builds that are not instrumented by the sanitizers: stack
# protector, _FORTIFY_SOURCE, format-string checks, full RELRO with immediate binding, and PIE.
#
# The flags come from `dpkg-buildflags` with every hardening feature on, asked once at configure
# time, so a build here matches what Debian's own package builds use. Its -g and -O levels are
# left out: the build type decides those. _FORTIFY_SOURCE needs optimisation, so an unoptimised
# Debug build goes without it (glibc would only warn in every file). Where dpkg-buildflags is
# missing (not a Debian system), nothing is added.
option(TAVRICK_HARDEN "Build with the distribution's hardening flags (not with the sanitizers)"
       ON)

if(TAVRICK_HARDEN AND NOT TAVRICK_SANITIZE AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
    find_program(DPKG_BUILDFLAGS dpkg-buildflags)
endif()

if(DPKG_BUILDFLAGS AND TAVRICK_HARDEN AND NOT TAVRICK_SANITIZE)
    # Returns in `out` the flags of `variable` (CXXFLAGS, CPPFLAGS, LDFLAGS) as a list. Asked in
    # the source folder, so -ffile-prefix-map makes the recorded source paths relative to it.
    function(tavrick_dpkg_buildflags variable out)
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                    ${DPKG_BUILDFLAGS} --get ${variable}
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
            COMMAND_ERROR_IS_FATAL ANY)
        separate_arguments(flags UNIX_COMMAND "${flags}")
        list(FILTER flags EXCLUDE REGEX "^-(g|O)")
        set(${out} ${flags} PARENT_SCOPE)
    endfunction()

    tavrick_dpkg_buildflags(CXXFLAGS hardening_compile)
    tavrick_dpkg_buildflags(CPPFLAGS hardening_preprocess)
    tavrick_dpkg_buildflags(LDFLAGS hardening_link)
    if(CMAKE_BUILD_TYPE STREQUAL "Debug")
        list(FILTER hardening_preprocess EXCLUDE REGEX "_FORTIFY_SOURCE")
    endif()

    add_compile_options(${hardening_compile} ${hardening_preprocess})
    add_link_options(${hardening_link})
    # PIE, which dpkg-buildflags leaves to the compiler's default on most architectures.
    include(CheckPIESupported)
    check_pie_supported()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)

    list(JOIN hardening_compile " " shown_compile)
    list(JOIN hardening_preprocess " " shown_preprocess)
    list(JOIN hardening_link " " shown_link)
    message(STATUS "Hardening: ${shown_compile} ${shown_preprocess}; linking: ${shown_link}")
endif()
