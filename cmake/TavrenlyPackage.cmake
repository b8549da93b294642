# SPDX-License-Identifier: LGPL-2.1-or-later
# The library as a package: libtavrenly (both controls, the shared modules, the platform layer
# and the stream engine in one library, so a host links one thing), its public headers under
# include/tavrenly/ (included as <tavrenly/player/TavrenPlayer.h>), a CMake package (find_package(Tavrenly): Tavrenly::player,
# Tavrenly::recorder) and tavrenly.pc. A host that adds this project with add_subdirectory
# links the same Tavrenly::player and Tavrenly::recorder.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The modules the library is made of, in link order (a module before the ones it uses).
set(TAVRENLY_PACKAGE_MODULES
    tavrenly_player
    tavrenly_recorder
    tavrenly_tstream2
    tavrenly_common_conversion
    tavrenly_common_wave
    tavrenly_common_mmapi
    tavrenly_common_log
    tavrenly_common_registry
    tavrenly_platform_codec
    tavrenly_platform_riff
    tavrenly_platform_devices
    tavrenly_platform_system
    tavrenly_platform_settings
    tavrenly_platform_host
    tavrenly_platform_base
)
set(TAVRENLY_PACKAGE_OBJECTS "")
foreach(module IN LISTS TAVRENLY_PACKAGE_MODULES)
    list(APPEND TAVRENLY_PACKAGE_OBJECTS $<TARGET_OBJECTS:${module}>)
endforeach()

# The public headers: what a host's include of a control, its dispatch interface, the event loop
# and site that run it, the property bags, the engine factory and the device list reaches, and
# nothing more (no RIFF, codec or state record of the library's own). They include one another
# by their paths relative to each other, so one set of files works from the source tree, from
# the build tree's include/ (for a host that adds this project with add_subdirectory) and
# installed; a host includes them as <tavrenly/player/TavrenPlayer.h>.
set(TAVRENLY_PUBLIC_HEADERS
    player/TavrenPlayer.h
    player/TavrenPlayerEvents.h
    player/PlayerTypes.h
    player/PlayerDispatch.h
    recorder/TavrenRecorder.h
    recorder/TavrenRecorderEvents.h
    recorder/RecorderTypes.h
    recorder/RecorderDispatch.h
    common/CartChunk.h
    common/ControlTypes.h
    common/DiagnosticLog.h
    common/Rf64Mode.h
    engine/EngineFactory.h
    engine/StreamPlay.h
    engine/StreamRecord.h
    engine/StreamRules.h
    platform/base/MmResult.h
    platform/base/Types.h
    platform/base/WaveFormat.h
    platform/devices/Devices.h
    platform/host/ControlSite.h
    platform/host/Dispatch.h
    platform/host/DispatchTable.h
    platform/host/EventLoop.h
    platform/host/PropertyBag.h
    platform/host/Variant.h
)
# The build tree's include/tavrenly/ holds a link to each, so a host built with add_subdirectory
# sees the installed layout and no internal header.
set(TAVRENLY_BUILD_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)
file(REMOVE_RECURSE ${TAVRENLY_BUILD_INCLUDE_DIR}/tavrenly)
foreach(header IN LISTS TAVRENLY_PUBLIC_HEADERS)
    get_filename_component(folder ${header} DIRECTORY)
    file(MAKE_DIRECTORY ${TAVRENLY_BUILD_INCLUDE_DIR}/tavrenly/${folder})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${header} ${TAVRENLY_BUILD_INCLUDE_DIR}/tavrenly/${header}
         SYMBOLIC)
endforeach()

# The third-party libraries behind the modules. Only the library itself sees them: no public
# header includes one.
pkg_check_modules(TAVRENLY_PACKAGE_DEPS REQUIRED IMPORTED_TARGET
                  libavcodec libavutil soxr rtaudio alsa libpulse)

add_library(tavrenly_library ${TAVRENLY_PACKAGE_OBJECTS})
set_target_properties(tavrenly_library PROPERTIES
    OUTPUT_NAME tavrenly
    EXPORT_NAME tavrenly
    LINKER_LANGUAGE CXX
    VERSION ${PROJECT_VERSION}
    # Until 1.0 a minor release may change the interface, so the minor number is in the soname.
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
target_include_directories(tavrenly_library PUBLIC
    $<BUILD_INTERFACE:${TAVRENLY_BUILD_INCLUDE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(tavrenly_library PUBLIC cxx_std_20)
target_link_libraries(tavrenly_library PRIVATE PkgConfig::TAVRENLY_PACKAGE_DEPS fmt::fmt
                      Threads::Threads)
if(BUILD_SHARED_LIBS)
    # Only the public interface leaves the shared library; everything else binds inside it, so
    # a host's own symbols (or another copy of a third-party library) never collide with ours.
    set(map ${PROJECT_SOURCE_DIR}/cmake/tavrenly.map)
    target_link_options(tavrenly_library PRIVATE "LINKER:--version-script=${map}"
                        "LINKER:--no-undefined")
    set_target_properties(tavrenly_library PROPERTIES LINK_DEPENDS ${map})
endif()

# Two names for one library: a host says which control it embeds.
foreach(control player recorder)
    add_library(tavrenly_package_${control} INTERFACE)
    set_target_properties(tavrenly_package_${control} PROPERTIES EXPORT_NAME ${control})
    target_link_libraries(tavrenly_package_${control} INTERFACE tavrenly_library)
    add_library(Tavrenly::${control} ALIAS tavrenly_package_${control})
endforeach()

# Installation.
set(TAVRENLY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tavrenly)
install(TARGETS tavrenly_library tavrenly_package_player tavrenly_package_recorder
        EXPORT TavrenlyTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET tavrenly)
    install(TARGETS tavrenly RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # The manual page is made from the program's own --help texts.
    set(manpage ${PROJECT_BINARY_DIR}/tavrenly.1)
    add_custom_command(OUTPUT ${manpage}
        COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/make-manpage.sh $<TARGET_FILE:tavrenly>
                ${manpage} ${PROJECT_VERSION}
        DEPENDS tavrenly ${PROJECT_SOURCE_DIR}/scripts/make-manpage.sh
        VERBATIM)
    add_custom_target(tavrenly_manpage ALL DEPENDS ${manpage})
    install(FILES ${manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

foreach(header IN LISTS TAVRENLY_PUBLIC_HEADERS)
    get_filename_component(folder ${header} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/${header}
            DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tavrenly/${folder})
endforeach()

install(EXPORT TavrenlyTargets NAMESPACE Tavrenly:: DESTINATION ${TAVRENLY_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TavrenlyConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/TavrenlyConfig.cmake
                              INSTALL_DESTINATION ${TAVRENLY_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TavrenlyConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TavrenlyConfig.cmake
              ${PROJECT_BINARY_DIR}/TavrenlyConfigVersion.cmake
        DESTINATION ${TAVRENLY_CMAKE_DIR})

# tavrenly.pc. No public header includes a third-party one, so a host compiles with our include
# path alone, and a shared libtavrenly names the libraries it needs itself (DT_NEEDED): its
# host gets no flag of theirs. A static one needs them at the host's link, in Libs.private,
# which only `pkg-config --static` adds. They are named as libraries, not as Requires.private
# packages: pkg-config passes the Cflags of Requires.private on even without --static (so
# rtaudio's defines would reach every host), and --static would then follow FFmpeg's own
# private libraries down to static codec libraries a host's machine need not have.
if(BUILD_SHARED_LIBS)
    set(TAVRENLY_PC_LIBS_PRIVATE "")
else()
    set(libs ${TAVRENLY_PACKAGE_DEPS_LDFLAGS} -lfmt -pthread)
    # The compiler's own library folders need no -L.
    foreach(dir IN LISTS CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
        list(REMOVE_ITEM libs "-L${dir}")
    endforeach()
    list(REMOVE_DUPLICATES libs)
    list(JOIN libs " " TAVRENLY_PC_LIBS_PRIVATE)
endif()
# The prefix is found from the file's own place, so an install to any --prefix stays right.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(TAVRENLY_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    string(REGEX REPLACE "[^/]+" ".." up "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
    set(TAVRENLY_PC_PREFIX "\${pcfiledir}/${up}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/tavrenly.pc.in ${PROJECT_BINARY_DIR}/tavrenly.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tavrenly.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tavrenly)
