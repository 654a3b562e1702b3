# What the Windows programs need beyond the libraries' own sources.
target_link_libraries(procward_platform PRIVATE ws2_32 crypt32 winhttp)
target_link_libraries(procward_mail PRIVATE ws2_32)
# The metrics module exports its one entry point and nothing else: without
# the list, MinGW's linker would export every symbol of the DLL.
target_sources(procward_metrics PRIVATE ${CMAKE_SOURCE_DIR}/app/win32/procward-metrics.def)
target_link_libraries(procward_metrics PRIVATE ws2_32)

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

# Version resources of both programs, from the project's version.
set(PROCWARD_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(PROCWARD_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(PROCWARD_VERSION_PATCH 0)
if(PROJECT_VERSION_PATCH)
  set(PROCWARD_VERSION_PATCH ${PROJECT_VERSION_PATCH})
endif()
set(PROCWARD_VERSION_QUAD ${PROCWARD_VERSION_MAJOR}.${PROCWARD_VERSION_MINOR}.${PROCWARD_VERSION_PATCH}.0)
configure_file(${CMAKE_SOURCE_DIR}/app/win32/ProcwardVersion.h.in ${CMAKE_BINARY_DIR}/ProcwardVersion.h @ONLY)
target_include_directories(procward PRIVATE ${CMAKE_SOURCE_DIR}/app/win32)

# The supervisor without a window: icon, version and a manifest.
set_source_files_properties(${CMAKE_SOURCE_DIR}/app/win32/procwardd.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_BINARY_DIR}/procward.ico;${CMAKE_SOURCE_DIR}/app/win32/procwardd.manifest;${CMAKE_SOURCE_DIR}/app/win32/version.rc")
target_sources(procwardd PRIVATE ${CMAKE_SOURCE_DIR}/app/win32/procwardd.rc)
target_include_directories(procwardd PRIVATE ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/app/win32)

# make windows-installer: Procward-<version>-setup.exe (NSIS) and
# Procward-<version>-win64.zip, the two programs, the metrics module and the
# output writer beside them, and the README.
set(PROCWARD_SETUP ${CMAKE_BINARY_DIR}/Procward-${PROJECT_VERSION}-setup.exe)
set(PROCWARD_ZIP ${CMAKE_BINARY_DIR}/Procward-${PROJECT_VERSION}-win64.zip)
find_program(PROCWARD_MAKENSIS makensis)
if(PROCWARD_MAKENSIS)
  add_custom_command(OUTPUT ${PROCWARD_SETUP}
    COMMAND ${PROCWARD_MAKENSIS} -V2 -INPUTCHARSET UTF8 -DVERSION=${PROJECT_VERSION}
      -DVERSION_QUAD=${PROCWARD_VERSION_QUAD} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
      -DOUT_FILE=${PROCWARD_SETUP} ${CMAKE_SOURCE_DIR}/packaging/windows/procward.nsi
    DEPENDS procward procwardd procward_metrics procward-output ${CMAKE_SOURCE_DIR}/packaging/windows/procward.nsi
      ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/procward.ico
    VERBATIM)
  add_custom_target(windows-installer DEPENDS ${PROCWARD_SETUP})
endif()
set(PROCWARD_ZIP_STAGE ${CMAKE_BINARY_DIR}/zip-stage)
set(PROCWARD_ZIP_ROOT Procward-${PROJECT_VERSION})
add_custom_command(OUTPUT ${PROCWARD_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${PROCWARD_ZIP_STAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROCWARD_ZIP_STAGE}/${PROCWARD_ZIP_ROOT}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:procward> $<TARGET_FILE:procwardd> $<TARGET_FILE:procward_metrics>
    $<TARGET_FILE:procward-output> ${CMAKE_SOURCE_DIR}/README.md ${PROCWARD_ZIP_STAGE}/${PROCWARD_ZIP_ROOT}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${PROCWARD_ZIP}
  COMMAND ${CMAKE_COMMAND} -E chdir ${PROCWARD_ZIP_STAGE} ${CMAKE_COMMAND} -E tar cf ${PROCWARD_ZIP} --format=zip
    ${PROCWARD_ZIP_ROOT}
  DEPENDS procward procwardd procward_metrics procward-output ${CMAKE_SOURCE_DIR}/README.md
  VERBATIM)
add_custom_target(windows-zip DEPENDS ${PROCWARD_ZIP})
