# Installs the whole build with DESTDIR into a scratch folder, as `make install DESTDIR=...`
# does, and checks what a user or another program finds there:
#   - every file in its place, libjstream with its SONAME and version links;
#   - the installed vxtool runs, on installed libraries only;
#   - installed_consumer.cpp builds against the installed library through pkg-config and
#     through find_package(jstream), links and runs;
#   - desktop-file-validate accepts the launcher entry, appstreamcli finds no error in the
#     metainfo, man renders both pages without a warning, and the vxtool page has a
#     section for every command its --help lists;
#   - uninstalling with the same DESTDIR leaves no file behind.
#
# -D BUILD_DIR, WORK (scratch folder), SOURCE (installed_consumer.cpp), CXX, PREFIX, BINDIR,
#    LIBDIR, INCLUDEDIR, DATADIR, MANDIR (the install folders, relative to PREFIX),
#    APP and VXTOOL (1 when that program is part of the build)

function(fail)
    string(JOIN "" text ${ARGN})
    message(FATAL_ERROR "${text}")
endfunction()

# run(NAME command... [OUT var]): runs a command, fails the check when it fails.
function(run name)
    cmake_parse_arguments(ARG "" "OUT" "" ${ARGN})
    execute_process(COMMAND ${ARG_UNPARSED_ARGUMENTS} RESULT_VARIABLE result
                    OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        fail("${name} failed (${result}):\n${out}\n${err}")
    endif()
    if(ARG_OUT)
        set(${ARG_OUT} "${out}" PARENT_SCOPE)
    endif()
endfunction()

function(expect_file path)
    if(NOT EXISTS ${path})
        fail("not installed: ${path}")
    endif()
endfunction()

find_program(PKG_CONFIG NAMES pkg-config pkgconf REQUIRED)
find_program(DESKTOP_FILE_VALIDATE desktop-file-validate REQUIRED)
find_program(APPSTREAMCLI appstreamcli REQUIRED)
find_program(MAN man REQUIRED)
find_program(READELF readelf REQUIRED)

file(REMOVE_RECURSE ${WORK})
set(destdir ${WORK}/destdir)
set(root ${destdir}${PREFIX})
set(ENV{DESTDIR} ${destdir})
run("installing the build" ${CMAKE_COMMAND} --install ${BUILD_DIR})
set(ENV{DESTDIR} "")

# ---- the library: files, SONAME, version links ----
set(lib ${root}/${LIBDIR})
foreach(header JStreamGlobal.h JStream.h JByteStream.h JBufferString.h JFileStream.h
               JMappedStream.h JBufferedStream.h)
    expect_file(${root}/${INCLUDEDIR}/jstream/${header})
endforeach()
file(GLOB real_lib ${lib}/libjstream.so.*.*.*)
list(LENGTH real_lib count)
if(NOT count EQUAL 1 OR IS_SYMLINK ${real_lib})
    fail("expected one libjstream.so.MAJOR.MINOR.PATCH file in ${lib}, found: ${real_lib}")
endif()
run("readelf" ${READELF} -d ${real_lib} OUT dynamic)
if(NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[(libjstream\\.so\\.[0-9]+)\\]")
    fail("libjstream has no SONAME of the form libjstream.so.N:\n${dynamic}")
endif()
set(soname ${CMAKE_MATCH_1})
get_filename_component(real_name ${real_lib} NAME)
foreach(link_and_target libjstream.so=${soname} ${soname}=${real_name})
    string(REPLACE "=" ";" pair ${link_and_target})
    list(GET pair 0 link)
    list(GET pair 1 target)
    if(IS_SYMLINK ${lib}/${link})
        file(READ_SYMLINK ${lib}/${link} points_to)
    endif()
    if(NOT points_to STREQUAL target)
        fail("${lib}/${link} should be a link to ${target}")
    endif()
    unset(points_to)
endforeach()
expect_file(${lib}/pkgconfig/jstream.pc)
expect_file(${lib}/cmake/jstream/jstreamConfig.cmake)

# ---- the installed vxtool runs, on installed libraries only ----
if(VXTOOL)
    run("the installed vxtool --help" ${root}/${BINDIR}/vxtool --help OUT help)
    if(NOT help MATCHES "^Usage: vxtool")
        fail("the installed vxtool --help printed:\n${help}")
    endif()
    set(ENV{LD_TRACE_LOADED_OBJECTS} 1)
    run("listing the libraries of the installed vxtool" ${root}/${BINDIR}/vxtool OUT loaded)
    unset(ENV{LD_TRACE_LOADED_OBJECTS})
    # Every library found, none of them from the build folder (but for the installed ones:
    # the scratch folder is inside it).
    string(REPLACE "=> ${destdir}/" "=> " elsewhere "${loaded}")
    if(loaded MATCHES "not found" OR elsewhere MATCHES "=> ${BUILD_DIR}/")
        fail("the installed vxtool does not run on installed libraries alone:\n${loaded}")
    endif()
endif()

# ---- an outside program builds against the installed library: pkg-config ----
set(ENV{PKG_CONFIG_PATH} ${lib}/pkgconfig)
run("pkg-config --cflags --libs jstream" ${PKG_CONFIG} --cflags --libs jstream OUT flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
file(MAKE_DIRECTORY ${WORK}/pkgconfig-consumer)
run("building against the installed library with pkg-config's flags"
    ${CXX} -std=c++20 -fPIC ${SOURCE} ${flags} -Wl,-rpath,${lib}
    -o ${WORK}/pkgconfig-consumer/consumer)
run("the program built with pkg-config's flags" ${WORK}/pkgconfig-consumer/consumer)

# ---- and through find_package(jstream), naming no Qt of its own ----
set(project ${WORK}/cmake-consumer)
file(WRITE ${project}/CMakeLists.txt "
cmake_minimum_required(VERSION 3.25)
project(jstream_consumer CXX)
find_package(jstream REQUIRED)
add_executable(consumer ${SOURCE})
target_link_libraries(consumer PRIVATE jstream::jstream)
")
run("configuring a project with find_package(jstream)"
    ${CMAKE_COMMAND} -S ${project} -B ${project}/build -DCMAKE_CXX_COMPILER=${CXX}
    -DCMAKE_PREFIX_PATH=${root})
file(STRINGS ${project}/build/CMakeCache.txt found REGEX "^jstream_DIR:")
if(NOT found STREQUAL "jstream_DIR:PATH=${lib}/cmake/jstream")
    fail("find_package(jstream) found another copy: ${found}")
endif()
run("building with find_package(jstream)" ${CMAKE_COMMAND} --build ${project}/build)
run("the program built with find_package(jstream)" ${project}/build/consumer)

# ---- the launcher entry, icons and metainfo ----
if(APP)
    set(desktop ${root}/${DATADIR}/applications/voxtrail.desktop)
    expect_file(${desktop})
    run("desktop-file-validate" ${DESKTOP_FILE_VALIDATE} ${desktop} OUT out)
    if(out MATCHES "error:")
        fail("desktop-file-validate:\n${out}")
    endif()
    file(STRINGS ${desktop} exec REGEX "^Exec=")
    file(STRINGS ${desktop} icon REGEX "^Icon=")
    if(NOT exec STREQUAL "Exec=voxtrail" OR NOT icon STREQUAL "Icon=voxtrail")
        fail("the launcher should start voxtrail with no file and show its icon: ${exec} ${icon}")
    endif()
    foreach(size 16 22 24 32 48 64 128 256)
        expect_file(${root}/${DATADIR}/icons/hicolor/${size}x${size}/apps/voxtrail.png)
    endforeach()

    set(metainfo ${root}/${DATADIR}/metainfo/voxtrail.metainfo.xml)
    expect_file(${metainfo})
    # Exit status 3 stands for warnings as well as errors: the lines tell which.
    execute_process(COMMAND ${APPSTREAMCLI} validate --no-net --no-color ${metainfo}
                    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE result)
    if(NOT (result EQUAL 0 OR result EQUAL 3) OR "${out}${err}" MATCHES "(^|\n)E:")
        fail("appstreamcli validate (${result}):\n${out}${err}")
    endif()
endif()

# ---- the manual pages render without warnings ----
set(pages)
if(APP)
    list(APPEND pages voxtrail)
endif()
if(VXTOOL)
    list(APPEND pages vxtool)
endif()
set(ENV{LC_ALL} C.UTF-8)
set(ENV{MANROFFSEQ} "")
set(ENV{MANWIDTH} 80)
foreach(page IN LISTS pages)
    set(file ${root}/${MANDIR}/man1/${page}.1)
    expect_file(${file})
    execute_process(COMMAND ${MAN} --warnings=all -E UTF-8 -l -Tutf8 -Z ${file}
                    OUTPUT_QUIET ERROR_VARIABLE warnings RESULT_VARIABLE result)
    if(NOT result EQUAL 0 OR warnings)
        fail("man -l ${page}.1 (${result}):\n${warnings}")
    endif()
    run("man -l ${page}.1" ${MAN} -l ${file} OUT rendered_${page})
endforeach()
if(VXTOOL)
    # Every command of vxtool --help has its own subsection, with the sections scripts
    # rely on beside them.
    string(REGEX MATCHALL "\n  [a-z]+( [a-z]+)*" rows "\n${help}")
    list(REMOVE_DUPLICATES rows)
    list(LENGTH rows count)
    if(count LESS 5)
        fail("found only ${count} commands in vxtool --help")
    endif()
    foreach(row IN LISTS rows)
        string(STRIP "${row}" command)
        if(NOT rendered_vxtool MATCHES "\n   vxtool ${command}\n")
            fail("vxtool.1 has no section for the command '${command}'")
        endif()
    endforeach()
    foreach(section "EXIT STATUS" "OUTPUT FORMATS")
        if(NOT rendered_vxtool MATCHES "\n${section}\n")
            fail("vxtool.1 has no section ${section}")
        endif()
    endforeach()
endif()

# ---- uninstalling leaves no file behind ----
set(ENV{DESTDIR} ${destdir})
run("uninstalling" ${CMAKE_COMMAND} -P ${BUILD_DIR}/packaging/uninstall.cmake)
set(ENV{DESTDIR} "")
file(GLOB_RECURSE left LIST_DIRECTORIES false ${destdir}/*)
if(left)
    string(REPLACE ";" "\n" left "${left}")
    fail("uninstall left these behind:\n${left}")
endif()
if(EXISTS ${root}/${INCLUDEDIR}/jstream)
    fail("uninstall left the folder ${root}/${INCLUDEDIR}/jstream")
endif()
