# What the Windows programs need beyond the libraries' own sources.
target_link_libraries(procward_platform PRIVATE ws2_32)
target_link_libraries(procward_mail PRIVATE ws2_32)
# The window program: no console, the icon and version resources, and
# GetLogger exported by name at ordinal 1.
set_target_properties(procward PROPERTIES WIN32_EXECUTABLE ON)
target_sources(procward PRIVATE ${CMAKE_SOURCE_DIR}/app/win32/procward.rc ${CMAKE_SOURCE_DIR}/app/win32/procward.def)
