# What the Windows programs need beyond the libraries' own sources.
target_link_libraries(procward_platform PRIVATE ws2_32 crypt32 winhttp)
target_link_libraries(procward_mail PRIVATE ws2_32)

# The window program: no console, the icon and the toolkit's resources, and
# GetLogger exported by name at ordinal 1.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/procward.ico
  COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/make-ico.py ${CMAKE_BINARY_DIR}/procward.ico
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/make-ico.py ${CMAKE_SOURCE_DIR}/ui/res/procward_16.png
    ${CMAKE_SOURCE_DIR}/ui/res/procward_256.png)
set_source_files_properties(${CMAKE_SOURCE_DIR}/app/win32/procward.rc PROPERTIES
  OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/procward.ico)
target_sources(procward PRIVATE ${CMAKE_SOURCE_DIR}/app/win32/procward.rc ${CMAKE_SOURCE_DIR}/app/win32/procward.def)
target_include_directories(procward PRIVATE ${CMAKE_BINARY_DIR})
set_target_properties(procward PROPERTIES WIN32_EXECUTABLE ON)
