# kavo_link_lss_over_pex2(<target>): links an executable that runs the
# protection layer over the real client and the service simulator.  The OS
# layer is linked whole and the executable exports its symbols, because
# libpex2.so keeps its machine keys through the OSA_cfg_* functions that the
# module (here: the executable) provides.
function(kavo_link_lss_over_pex2 target)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  target_link_libraries(${target} PRIVATE kavo_lss kavo_cryptoclient
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,kavo_osa>" pex2 Threads::Threads)
endfunction()
