# spdlog and fmt for the Windows build: header-only, from the staged copy of
# Debian's headers (spdlog there is set up for an external fmt). The build
# names the header-only target, as Debian's own configuration does. Log file
# names are wide, so a log folder outside the ANSI code page opens.
if(NOT TARGET spdlog::spdlog_header_only)
  add_library(spdlog::spdlog_header_only INTERFACE IMPORTED)
  set_target_properties(spdlog::spdlog_header_only PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${PROCWARD_WIN_HEADERS}"
    INTERFACE_COMPILE_DEFINITIONS "SPDLOG_FMT_EXTERNAL;FMT_HEADER_ONLY;SPDLOG_WCHAR_FILENAMES")
endif()
set(spdlog_FOUND TRUE)
