# What a harness links, for the fuzzing build and the suite's replays alike.
# The picture stages stand alone; linking the rest of the program would only
# lengthen their build.
function(skerrow_link_harness target stem)
  if(stem MATCHES "_stage_fuzz$")
    set(libs convert_png convert_webp)
  else()
    set(libs convert_djpeg convert_cjpeg wallpaper app fetch platform)
  endif()
  # Harnesses of the layer's own parsers name their headers by folder.
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform)
  foreach(lib ${libs})
    if(TARGET ${lib})
      target_link_libraries(${target} PRIVATE ${lib})
    endif()
  endforeach()
endfunction()
