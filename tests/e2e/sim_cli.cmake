# kdx4610-sim as a program: its exit status is the updater's result code (2 for bad
# usage), its summary and debugger lines, the trace file, several runs on one chip; and the
# chaos sweep over 1,000 seeds, which takes minutes and runs only with
#   ctest -C Long -L long
#
# Included by tests/CMakeLists.txt it adds the tests (native build only); run with cmake -P
# it is one test: -DSIM=<program> -DARGS=<words separated by |> -DEXPECT=<exit status>
# [-DMATCH=<regular expressions separated by |>] [-DREJECT=<expressions no line may match>]
# [-DTRACE=<trace file to check>]
# [-DDAMAGE=<file>|<copy>: first write a copy of the file with its middle byte inverted].

if(NOT CMAKE_SCRIPT_MODE_FILE)
    if(NOT CMAKE_CROSSCOMPILING AND TARGET kdx4610-sim)
        function(kdx_sim_cli_test name expect args match)
            add_test(NAME sim_cli_${name}
                COMMAND ${CMAKE_COMMAND} -DSIM=$<TARGET_FILE:kdx4610-sim> "-DARGS=${args}" -DEXPECT=${expect}
                        "-DMATCH=${match}" ${ARGN} -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE})
        endfunction()
        kdx_sim_cli_test(default 0 "" "^result: 0 Success|^flash equals image: yes|^EndIsp posted: 1 .last request.|^left in ISP mode: no$|^chip after: application KX4610, hw 0x22, version 1.58 on device 0x0C, running application, flash boots application$|^isp driver: embedded, [0-9]+ bytes, SHA-256 ${KDX_ISP_DRIVER_SHA256}$|^firmware: embedded, 524288 bytes, SHA-256 ${KDX_FIRMWARE_SHA256}$")
        kdx_sim_cli_test(left_in_isp_mode 20 "--fault|flag-stuck=low"
                         "^left in ISP mode: yes, EndIsp posted but not taken$|^chip after: application KX4610, .*, running ISP driver [(]ISP mode[)], flash boots internal ROM$")
        # Images given on the command line replace the embedded ones and are not held to
        # the build's digests: a damaged firmware file is installed as it is.
        set(damaged ${CMAKE_CURRENT_BINARY_DIR}/sim_cli_damaged_firmware.bin)
        kdx_sim_cli_test(firmware_file 0 "--firmware|${damaged}"
                         "^firmware: ${damaged}, 524288 bytes, SHA-256 [0-9a-f]+$|^result: 0 Success|^flash equals image: yes"
                         "-DDAMAGE=${KDX_FIRMWARE_IMAGE}|${damaged}")
        kdx_sim_cli_test(no_driver 30 "--fault|no-driver" "^debug: ERROR!! ChipID:-1$|^result: 30 NotTarget")
        kdx_sim_cli_test(power_cut_second_run 0 "--fault|power-cut-at-block=1|--runs|2"
                         "^result: 20 FlashProgramFailed|^== run 2 of 2|^chip after: application KX4610, hw 0x22, version 1.58")
        # A bad option is named in one line with a pointer to --help, without the usage.
        kdx_sim_cli_test(bad_usage 2 "--no-such-option" "^kdx4610-sim: option --no-such-option is not known$|^try --help$"
                         -DREJECT=usage|--chip-id)
        # A file without end is refused after reading one byte past its bound.
        kdx_sim_cli_test(flash_in_endless 2 "--flash-in|/dev/zero" "^kdx4610-sim: /dev/zero is larger than the 512 KiB flash$")
        kdx_sim_cli_test(firmware_endless 2 "--firmware|/dev/zero" "^kdx4610-sim: /dev/zero is larger than 16 MiB: not an image$")
        kdx_sim_cli_test(backend_igcl 0 "--backend|igcl" "^result: 0 Success|^flash equals image: yes")
        kdx_sim_cli_test(backend_igcl_not_admin 30 "--backend=igcl|--fault|controllib-not-admin"
                         "^debug: Gfx Selection = 0|^  Output 1 = Insufficient permissions! Run the program as administrator.|^result: 30")
        kdx_sim_cli_test(backend_bad 2 "--backend|dll" "bad value 'dll' for --backend")
        kdx_sim_cli_test(backend_linux 0 "--backend|linux|--device-id|0x0D"
                         "^result: 0 Success|^flash equals image: yes|^left in ISP mode: no$")
        kdx_sim_cli_test(list_faults 0 "--list-faults" "power-cut-at-block=K|flag-stuck=low.high|over-read=ff.nack.defer|i915-traffic=N")
        set(trace ${CMAKE_CURRENT_BINARY_DIR}/sim_cli_trace.tsv)
        kdx_sim_cli_test(trace 30 "--quiet|--fault|no-chip|--trace|${trace}" "" -DTRACE=${trace})

        add_test(NAME sim_chaos_sweep CONFIGURATIONS Long
            COMMAND ${CMAKE_SOURCE_DIR}/sim/chaos_sweep.sh $<TARGET_FILE:kdx4610-sim> 1000)
        set_tests_properties(sim_chaos_sweep PROPERTIES LABELS long TIMEOUT 3600)
    endif()
    return()
endif()
cmake_minimum_required(VERSION 3.25)

if(DAMAGE)
    string(REPLACE "|" ";" damage "${DAMAGE}")
    execute_process(COMMAND python3 -c
        "import sys; b = bytearray(open(sys.argv[1], 'rb').read()); b[len(b) // 2] ^= 0xFF; open(sys.argv[2], 'wb').write(b)"
        ${damage} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "cannot write a damaged copy of ${damage}")
    endif()
endif()
string(REPLACE "|" ";" args "${ARGS}")
execute_process(COMMAND ${SIM} ${args} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
    INPUT_FILE /dev/null)
if(NOT status STREQUAL "${EXPECT}")
    message(FATAL_ERROR "kdx4610-sim ${ARGS} exited with ${status}, expected ${EXPECT}\n${out}${err}")
endif()
# Each MATCH pattern must match a line of the output, no REJECT pattern may match one.
string(REPLACE "\n" ";" lines "${out}${err}")
foreach(kind IN ITEMS MATCH REJECT)
    string(REPLACE "|" ";" patterns "${${kind}}")
    foreach(pattern IN LISTS patterns)
        set(matching ${lines})
        list(FILTER matching INCLUDE REGEX "${pattern}")
        list(LENGTH matching found)
        if(kind STREQUAL "MATCH" AND found EQUAL 0)
            message(FATAL_ERROR "no line matches '${pattern}':\n${out}${err}")
        elseif(kind STREQUAL "REJECT" AND found GREATER 0)
            message(FATAL_ERROR "a line matches '${pattern}':\n${out}${err}")
        endif()
    endforeach()
endforeach()
if(TRACE)
    # No chip anywhere: the probe of each connection is one write that the empty AUX
    # channel NACKs (driver status 24), in the order 0x0C..0x0F, for each of the two searches.
    file(STRINGS ${TRACE} trace)
    list(GET trace 0 1 4 lines)
    set(expected "^time_us\tmethod\tdevice\tcommand\taddress\tlength\tstatus\tdata"
        "0\tW\t0x0C\t0\t0x6E\t8\t24\t5185c20000030a71" "[0-9]+\tW\t0x0F\t0\t0x6E\t8\t24\t5185c20000030a71$")
    if(NOT "${lines}" MATCHES "${expected}")
        message(FATAL_ERROR "trace lines 0, 1 and 4: ${lines}")
    endif()
endif()
