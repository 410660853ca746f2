# The shipped kdx4610-update against the chip simulator: each case a test of its own
# (tests/linux/update_cases.py), so that they run in parallel. The program runs on the
# real clock there; an update takes about 20 s. Not in the sanitizer tree: the cases time
# the real clock rather than the code, and an instrumented program refuses a library
# preloaded before its runtime.
if(NOT CMAKE_CROSSCOMPILING AND NOT KDX_SANITIZE AND TARGET kdx4610-update AND TARGET kdx_sim_preload)
    set(kdx_linux_cases
        usage silent_update dialog_english_pty dialog_japanese_pty dialog_pipe_without_logind check
        list_channels second_port no_chip not_root not_root_user no_i2c_dev sigint_during_write sigterm_during_write
        sigint_before_isp sigterm_before_isp two_instances logind_inhibitor power_cut_then_second_run)
    foreach(name IN LISTS kdx_linux_cases)
        add_test(NAME linux_update_${name}
            COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/linux/update_cases.py
                    --program $<TARGET_FILE:kdx4610-update> --preload $<TARGET_FILE:kdx_sim_preload>
                    --sysfs-tool $<TARGET_FILE:kdx4610-sim-sysfs> --sim $<TARGET_FILE:kdx4610-sim>
                    --image ${KDX_FIRMWARE_IMAGE} --payload-tool ${CMAKE_SOURCE_DIR}/tools/trace_payload.py
                    --ns-run ${CMAKE_SOURCE_DIR}/tests/linux/ns_run.sh
                    --work ${CMAKE_BINARY_DIR}/linux_update ${name})
        # The timeout catches hangs: with other cases and suites beside it a case takes
        # several times as long as alone.
        set_tests_properties(linux_update_${name} PROPERTIES LABELS linux_update TIMEOUT 600 SKIP_RETURN_CODE 77)
    endforeach()
endif()

# Unit tests of the program's own pieces (its command line, progress view, lock, signals).
if(NOT CMAKE_CROSSCOMPILING AND TARGET kdx_linux_front)
    add_executable(kdx_linux_tests ${CMAKE_SOURCE_DIR}/tests/linux/linux_front_test.cpp)
    target_link_libraries(kdx_linux_tests PRIVATE kdx_linux_front kdxcore GTest::gtest_main)
    kdx_warnings(kdx_linux_tests)
    add_test(NAME linux_front_unit_tests COMMAND kdx_linux_tests --gtest_brief=1)
endif()

# The Debian package: its files, no udev rule, no lintian error. Only where the package is
# made (not in the sanitizer tree).
if(NOT CMAKE_CROSSCOMPILING AND NOT KDX_SANITIZE AND TARGET kdx4610-update)
    add_test(NAME linux_package COMMAND sh ${CMAKE_SOURCE_DIR}/tests/linux/package_check.sh ${CMAKE_BINARY_DIR})
    set_tests_properties(linux_package PROPERTIES LABELS linux_update TIMEOUT 300)
endif()
