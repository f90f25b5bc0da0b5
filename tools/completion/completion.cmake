# bash completion of the tools (component tools): one copy of the script
# under each program's name, where bash-completion looks for it.
foreach(prog velk_dump velk_send velk_replay velk_list velk_sim velk_decode velk_convert velk_bridge velk_socketcand velk_isotp velk_uds)
  if(TARGET ${prog})
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/velk.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
      RENAME ${prog} COMPONENT tools)
  endif()
endforeach()
