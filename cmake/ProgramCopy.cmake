# rw_copy_program(TARGET PROGRAM): a copy of the executable of PROGRAM beside the executable
# of TARGET, for programs that start it from their own directory. The copy is a build output
# of its own: it is made again whenever PROGRAM relinks, also when TARGET itself does not.
# TARGET must have the default output directory (the binary directory that defines it).
function(rw_copy_program target program)
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/${program}${CMAKE_EXECUTABLE_SUFFIX})
  # Naming the target in DEPENDS makes the copy depend on its file, not only on its build.
  add_custom_command(OUTPUT ${copy}
                     COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${program}> ${copy}
                     DEPENDS ${program}
                     COMMENT "Copying ${program} beside ${target}")
  add_custom_target(${target}-copies-${program} DEPENDS ${copy})
  add_dependencies(${target} ${target}-copies-${program})
endfunction()
