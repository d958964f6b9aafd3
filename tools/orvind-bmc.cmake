# The console of the simulated BMC reads and writes its state through the library.
target_link_libraries(orvind-bmc PRIVATE tallow)
# `orvind-bmc sel` reads a real BMC's SEL over IPMI.
if(TARGET tallow_ipmi_session)
    target_link_libraries(orvind-bmc PRIVATE tallow_ipmi_session)
    target_compile_definitions(orvind-bmc PRIVATE ORVIND_HAVE_IPMI=1)
endif()
