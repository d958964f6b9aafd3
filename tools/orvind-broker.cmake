target_link_libraries(${name} PRIVATE cimbroker Threads::Threads)
