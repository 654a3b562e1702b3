# RapidJSON for the Windows build, from the staged copy of Debian's headers.
set(RAPIDJSON_INCLUDE_DIRS "${PROCWARD_WIN_HEADERS}")
set(RapidJSON_FOUND TRUE)
