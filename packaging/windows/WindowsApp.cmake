# The Windows program: the window without a console behind it, its console
# twin zorvatdbbackup.com for cmd and PowerShell (found before the .exe by
# PATHEXT), each with the version information, a manifest and the Event Log's
# message table.
find_program(ZDB_WINDMC NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-windmc x86_64-w64-mingw32-windmc windmc REQUIRED)
set(zdb_win_dir ${PROJECT_BINARY_DIR}/windows)
add_custom_command(
    OUTPUT ${zdb_win_dir}/messages.rc ${zdb_win_dir}/MSG00409.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${zdb_win_dir}
    COMMAND ${ZDB_WINDMC} -U -h ${zdb_win_dir} -r ${zdb_win_dir} ${CMAKE_CURRENT_LIST_DIR}/messages.mc
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/messages.mc
    COMMENT "Event Log message table")

set(ZDB_VERSION4 ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
set(ZDB_VERSION_COMMAS ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0)

# name, file name, execution level
function(zdb_windows_resources target file_name level)
    set(ZDB_FILE_NAME ${file_name})
    set(ZDB_EXECUTION_LEVEL ${level})
    set(ZDB_MANIFEST ${zdb_win_dir}/${target}.manifest)
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/app.manifest.in ${ZDB_MANIFEST} @ONLY)
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/app.rc.in ${zdb_win_dir}/${target}.rc @ONLY)
    set_source_files_properties(${zdb_win_dir}/${target}.rc PROPERTIES
        OBJECT_DEPENDS "${zdb_win_dir}/messages.rc;${zdb_win_dir}/MSG00409.bin;${ZDB_MANIFEST}")
    target_sources(${target} PRIVATE ${zdb_win_dir}/${target}.rc)
    target_include_directories(${target} PRIVATE ${zdb_win_dir})
endfunction()

set_target_properties(zorvatdbbackup PROPERTIES WIN32_EXECUTABLE ON)
zdb_windows_resources(zorvatdbbackup zorvatdbbackup.exe requireAdministrator)

# The twin runs as its caller: --status and --verify need no administrator,
# and a prompt opened by one would take the lines away from the caller's console.
add_executable(zorvatdbbackup-console ${PROJECT_SOURCE_DIR}/main.cpp)
target_link_libraries(zorvatdbbackup-console PRIVATE app cli)
set_target_properties(zorvatdbbackup-console PROPERTIES OUTPUT_NAME zorvatdbbackup SUFFIX .com)
zdb_windows_resources(zorvatdbbackup-console zorvatdbbackup.com asInvoker)
