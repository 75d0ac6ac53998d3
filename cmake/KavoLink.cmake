# kavo_link_osa_provider(<target>): <target> provides the OS layer to the
# libraries it loads.  libpex2.so keeps its machine keys through the OSA_cfg_*
# functions of the program that loads it (in production the add-on, which
# exports them), so a program that loads it links the layer whole, every
# function whether it calls it or not, and exports its symbols.
function(kavo_link_osa_provider target)
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,kavo_osa>"
                        Threads::Threads)
endfunction()

# kavo_link_lss_over_pex2(<target>): links a program that runs the protection
# layer over the real client and the service simulator.
function(kavo_link_lss_over_pex2 target)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE kavo_lss kavo_cryptoclient)
  kavo_link_osa_provider(${target})
  target_link_libraries(${target} PRIVATE pex2)
endfunction()
