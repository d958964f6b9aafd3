# The console of the simulated BMC reads and writes its state through the library.
target_link_libraries(orvind-bmc PRIVATE tallow)
