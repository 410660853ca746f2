# KDX4610_update.exe is reproducible: a copy of the sources at another path, configured the
# same way and built at another time, gives a byte-identical exe. A link timestamp or a
# source or build path in the file makes the two differ. Only the exe target is built in
# the copy.
#
# Included by tests/CMakeLists.txt it adds the test (Windows build only, label repro); run
# with cmake -P it is the test: -DSOURCE_DIR=<sources> -DBINARY_DIR=<build tree of EXE>
# -DEXE=<program> -DWORK=<directory for the copy> -DTOOLCHAIN=<toolchain file>
# -DBUILD_TYPE=<build type> -DISP_DRIVER_IMAGE=<file> -DFIRMWARE_IMAGE=<file>.

if(NOT CMAKE_SCRIPT_MODE_FILE)
    if(CMAKE_CROSSCOMPILING AND WIN32 AND TARGET KDX4610_update)
        # A relative toolchain path is the build tree's, or else the sources'.
        set(toolchain ${CMAKE_BINARY_DIR}/${CMAKE_TOOLCHAIN_FILE})
        if(IS_ABSOLUTE "${CMAKE_TOOLCHAIN_FILE}" OR NOT EXISTS "${toolchain}")
            get_filename_component(toolchain "${CMAKE_TOOLCHAIN_FILE}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
        endif()
        add_test(NAME repro_exe
            COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DBINARY_DIR=${CMAKE_BINARY_DIR}
                    -DEXE=$<TARGET_FILE:KDX4610_update> -DWORK=${CMAKE_BINARY_DIR}/repro
                    -DTOOLCHAIN=${toolchain} -DBUILD_TYPE=${CMAKE_BUILD_TYPE}
                    -DISP_DRIVER_IMAGE=${KDX_ISP_DRIVER_IMAGE} -DFIRMWARE_IMAGE=${KDX_FIRMWARE_IMAGE}
                    -P ${CMAKE_CURRENT_LIST_FILE})
        set_tests_properties(repro_exe PROPERTIES LABELS repro TIMEOUT 900)
    endif()
    return()
endif()
cmake_minimum_required(VERSION 3.25)

# The copy: every top-level entry of the sources but build trees and the repository.
set(copy ${WORK}/sources-elsewhere)
set(build ${WORK}/build-elsewhere)
file(REMOVE_RECURSE ${copy} ${build})
file(MAKE_DIRECTORY ${copy})
file(GLOB entries RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/* ${SOURCE_DIR}/.*)
foreach(entry IN LISTS entries)
    if(entry MATCHES "^(build.*|out|\\.git)$" OR "${SOURCE_DIR}/${entry}" STREQUAL BINARY_DIR)
        continue()
    endif()
    file(COPY ${SOURCE_DIR}/${entry} DESTINATION ${copy})
endforeach()

# The toolchain file and images inside the sources are taken from the copy, others from
# where they are.
foreach(input IN ITEMS TOOLCHAIN ISP_DRIVER_IMAGE FIRMWARE_IMAGE)
    string(FIND "${${input}}" "${SOURCE_DIR}/" at)
    if(at EQUAL 0)
        string(REPLACE "${SOURCE_DIR}/" "${copy}/" ${input} "${${input}}")
    endif()
endforeach()

execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${copy} -B ${build} -G Ninja -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
            -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DKDX_BUILD_TESTS=OFF
            -DKDX_ISP_DRIVER_IMAGE=${ISP_DRIVER_IMAGE} -DKDX_FIRMWARE_IMAGE=${FIRMWARE_IMAGE}
    OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
if(status EQUAL 0)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${build} --target KDX4610_update
        OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
endif()
if(NOT status EQUAL 0)
    message(FATAL_ERROR "the copy at ${copy} did not build:\n${out}")
endif()

set(other ${build}/app/KDX4610_update.exe)
file(SHA256 ${EXE} first)
file(SHA256 ${other} second)
file(SIZE ${EXE} first_size)
file(SIZE ${other} second_size)
message("${first}  ${first_size} bytes  ${EXE}")
message("${second}  ${second_size} bytes  ${other}")
if(NOT first STREQUAL second)
    message(FATAL_ERROR "the two builds of KDX4610_update.exe differ")
endif()
