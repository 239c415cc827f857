# The three Windows programs. Each is its folder's library plus its entry
# (WinMain.cpp) and its resource script.
set(NV_PROGRAM_LINK -mwindows -s)

function(nv_program target dir rc)
    add_executable(${target} WIN32 ${CMAKE_SOURCE_DIR}/${dir}/WinMain.cpp ${CMAKE_SOURCE_DIR}/resources/${rc})
    target_compile_options(${target} PRIVATE ${NV_WARNINGS} -Os)
    target_link_options(${target} PRIVATE ${NV_PROGRAM_LINK})
    target_link_libraries(${target} PRIVATE nv_${dir} nv_common)
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/resources ${CMAKE_BINARY_DIR}/generated)
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
