# The three Windows programs. Each is its folder's library plus its entry
# (WinMain.cpp) and its resource script.
set(NV_PROGRAM_LINK -mwindows -s -flto)
# The light C++ run-time failure paths and statics' guard, as objects of
# each program.
set(NV_QUIET_RUNTIME ${CMAKE_SOURCE_DIR}/common/program/QuietRuntimeWin32.cpp
    ${CMAKE_SOURCE_DIR}/common/program/QuietSystemErrorWin32.cpp
    ${CMAKE_SOURCE_DIR}/common/program/StaticGuardWin32.cpp)

# The manifest names the Common Controls assembly of the program's own
# architecture: an x86 dependency in an x86_64 program makes the loader fail
# on COMCTL32.dll wherever the 32-bit assembly is installed.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(NV_MANIFEST_ARCH amd64)
else()
    set(NV_MANIFEST_ARCH X86)
endif()
configure_file(${CMAKE_SOURCE_DIR}/resources/app.manifest.in ${CMAKE_BINARY_DIR}/generated/app.manifest @ONLY)

# Size budgets of the shipped (i686) programs, in bytes: each build prints
# the sizes, and the size_* tests fail when a program grows past its budget.
# Each is the program's size plus 4 KiB, well under the goals (100, 60 and
# 220 KiB), so that growth is noticed long before a goal is reached.
set(NV_BUDGET_Nivaxel 55296)
set(NV_BUDGET_UninstallNivaxel 41472)
set(NV_BUDGET_NivaxelSetup 145920)

# windres reports no dependencies: a changed icon or manifest must still
# rebuild the resource scripts.
file(GLOB NV_RESOURCE_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*.ico
     ${CMAKE_SOURCE_DIR}/resources/*.manifest)

function(nv_program target dir rc)
    add_executable(${target} WIN32 ${CMAKE_SOURCE_DIR}/${dir}/WinMain.cpp ${NV_QUIET_RUNTIME}
                   ${CMAKE_SOURCE_DIR}/resources/${rc})
    target_compile_options(${target} PRIVATE ${NV_WARNINGS} -Os -flto)
    target_link_options(${target} PRIVATE ${NV_PROGRAM_LINK})
    set_property(SOURCE ${CMAKE_SOURCE_DIR}/resources/${rc} APPEND PROPERTY OBJECT_DEPENDS
                 ${NV_RESOURCE_FILES})
    target_link_libraries(${target} PRIVATE nv_${dir} nv_common)
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/resources ${CMAKE_BINARY_DIR}/generated)
    set_property(SOURCE ${CMAKE_SOURCE_DIR}/resources/${rc} APPEND PROPERTY OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/generated/app.manifest)
    set(size_args -DPROGRAM=$<TARGET_FILE:${target}> -DBUDGET=${NV_BUDGET_${target}}
        -P ${CMAKE_SOURCE_DIR}/cmake/ProgramSize.cmake)
    add_custom_command(TARGET ${target} POST_BUILD COMMAND ${CMAKE_COMMAND} ${size_args} VERBATIM)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        add_test(NAME size_${target} COMMAND ${CMAKE_COMMAND} -DCHECK=ON ${size_args})
        set_tests_properties(size_${target} PROPERTIES LABELS size)
    endif()
endfunction()

if(EXISTS ${CMAKE_SOURCE_DIR}/client/WinMain.cpp)
    nv_program(Nivaxel client client.rc)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/uninstaller/WinMain.cpp)
    nv_program(UninstallNivaxel uninstaller uninstaller.rc)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/installer/WinMain.cpp)
    nv_program(NivaxelSetup installer installer.rc)
endif()

# Payload containers. The host packer (NIVAXEL_PACKER, a native nvpack)
# packs the client and the uninstaller; the installer's resource script
# includes the generated payload.rc, which names them as RCDATA. Without a
# packer or those programs payload.rc stays empty, so that the installer
# still builds (and reports its resources as missing when run).
set(NV_GENERATED ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${NV_GENERATED})
set(NIVAXEL_PACKER "" CACHE FILEPATH "Native nvpack used to pack the programs the installer carries")
if(NIVAXEL_PACKER AND TARGET Nivaxel AND TARGET UninstallNivaxel)
    set(NV_PAYLOADS)
    foreach(pair "Nivaxel;NIVAXEL" "UninstallNivaxel;UNINSTALLNIVAXEL")
        list(GET pair 0 program)
        list(GET pair 1 resource)
        # Reproducible programs: no link time in the PE header, so that two
        # builds of the same sources give the same containers.
        target_link_options(${program} PRIVATE -Wl,--no-insert-timestamp)
        add_custom_command(
            OUTPUT ${NV_GENERATED}/${resource}.bin
            COMMAND ${NIVAXEL_PACKER} --repo ${CMAKE_SOURCE_DIR} $<TARGET_FILE:${program}> ${NV_GENERATED}/${resource}.bin
            DEPENDS ${program} ${NIVAXEL_PACKER}
            COMMENT "Packing ${program} into ${resource}.bin"
            VERBATIM)
        list(APPEND NV_PAYLOADS ${NV_GENERATED}/${resource}.bin)
    endforeach()
    file(CONFIGURE OUTPUT ${NV_GENERATED}/payload.rc CONTENT
"NIVAXEL RCDATA \"${NV_GENERATED}/NIVAXEL.bin\"
UNINSTALLNIVAXEL RCDATA \"${NV_GENERATED}/UNINSTALLNIVAXEL.bin\"
" @ONLY)
    add_custom_target(nv_payloads DEPENDS ${NV_PAYLOADS})
    if(TARGET NivaxelSetup)
        add_dependencies(NivaxelSetup nv_payloads)
        set_property(SOURCE ${CMAKE_SOURCE_DIR}/resources/installer.rc APPEND PROPERTY
            OBJECT_DEPENDS ${NV_PAYLOADS} ${NV_GENERATED}/payload.rc)
    endif()
else()
    file(CONFIGURE OUTPUT ${NV_GENERATED}/payload.rc CONTENT
"/* No payloads: configure with -DNIVAXEL_PACKER=<native nvpack> to carry the programs. */
" @ONLY)
endif()

# The payload reader's Windows test: a few containers of its own as
# resources, and the paths of the built programs to compare the installer's
# payloads with.
if(TARGET contract_payload_contract)
    set(nv_test_payloads ${CMAKE_SOURCE_DIR}/tests/contract/payloads)
    file(CONFIGURE OUTPUT ${NV_GENERATED}/test_payloads.rc CONTENT
"TESTRAW5 RCDATA \"${nv_test_payloads}/raw5.bin\"
TESTSHORT RCDATA \"${nv_test_payloads}/short.bin\"
TESTPACKED RCDATA \"${nv_test_payloads}/packed.bin\"
" @ONLY)
    target_sources(contract_payload_contract PRIVATE ${NV_GENERATED}/test_payloads.rc)
    set_source_files_properties(${NV_GENERATED}/test_payloads.rc PROPERTIES
        OBJECT_DEPENDS "${nv_test_payloads}/raw5.bin;${nv_test_payloads}/short.bin;${nv_test_payloads}/packed.bin")
    target_compile_definitions(contract_payload_contract PRIVATE
        NV_INSTALLER_EXE="${CMAKE_BINARY_DIR}/NivaxelSetup.exe"
        NV_CLIENT_EXE="${CMAKE_BINARY_DIR}/Nivaxel.exe"
        NV_UNINSTALLER_EXE="${CMAKE_BINARY_DIR}/UninstallNivaxel.exe")
endif()

# Their tests link them as the programs do; the system error one runs without
# the test framework, whose streams need the library's version.
if(TARGET contract_quiet_runtime_contract)
    target_sources(contract_quiet_runtime_contract PRIVATE ${CMAKE_SOURCE_DIR}/common/program/QuietRuntimeWin32.cpp)
endif()
if(TARGET contract_static_guard_contract)
    target_sources(contract_static_guard_contract PRIVATE ${CMAKE_SOURCE_DIR}/common/program/StaticGuardWin32.cpp)
endif()
add_executable(contract_quiet_system_error ${CMAKE_SOURCE_DIR}/tests/contract/standalone/quiet_system_error.cpp
               ${NV_QUIET_RUNTIME})
target_compile_options(contract_quiet_system_error PRIVATE ${NV_WARNINGS} -Os)
target_include_directories(contract_quiet_system_error PRIVATE ${CMAKE_SOURCE_DIR})
add_test(NAME contract_quiet_system_error COMMAND contract_quiet_system_error)
set_tests_properties(contract_quiet_system_error PROPERTIES LABELS contract TIMEOUT 300)

# The MSI package's custom actions: one small program of the units the
# installer and the uninstaller use (close handshake, uninstall entry).
if(EXISTS ${CMAKE_SOURCE_DIR}/msi/MsiActionWin32.cpp AND TARGET nv_installer AND TARGET nv_uninstaller)
    add_executable(NivaxelMsiAction WIN32 ${CMAKE_SOURCE_DIR}/msi/MsiActionWin32.cpp ${NV_QUIET_RUNTIME})
    target_compile_options(NivaxelMsiAction PRIVATE ${NV_WARNINGS} -Os -flto)
    target_link_options(NivaxelMsiAction PRIVATE ${NV_PROGRAM_LINK} -Wl,--no-insert-timestamp)
    target_include_directories(NivaxelMsiAction PRIVATE ${CMAKE_SOURCE_DIR})
    target_link_libraries(NivaxelMsiAction PRIVATE nv_installer nv_uninstaller nv_common)
endif()
