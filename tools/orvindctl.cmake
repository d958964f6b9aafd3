# Reads the daemon's files where the daemon keeps them (synchronizer/paths.h).
target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/synchronizer)
target_link_libraries(${name} PRIVATE SQLite::SQLite3)
# The health verdict is the daemon's own.
target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/synchronizer/health.cpp)
