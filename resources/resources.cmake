# The files under resources/ that are embedded into the program, as resource name and path.
# appsrv_embed_resources(<target>) generates a source file holding their bytes and adds it to
# the target; the internal files store looks them up by name.
set(APPSRV_RESOURCES
  SV_FAVICON=favicon.ico
  SV_GFX_SECURITYCHECK=templates/SecurityCheckError.html
  SV_GFX_ERROR=templates/Error.html
  SV_GFX_SESSIONTIMEOUT=templates/SessionTimeout.html
  SV_GFX_SESSIONINVALID=templates/SessionInvalid.html
  SV_JS_SVBASE=js/SvBase.js
  SV_JS_SVLIB=js/SvLib.js
  SV_JS_SVEXPLORER=js/SvExplorer.js
  SV_JS_SVGECKO=js/SvGecko.js
  SV_JS_SVBACKINTERCEPT=js/SvBackIntercept.js
  SV_GFX_TP=gfx/Tp.gif
  SV_GFX_LOADING=gfx/loading.gif
  SV_GFX_SVLOGO=gfx/SvLogo.png
  SV_GFX_SVLOGOSMALL=gfx/SvLogoSmall.png
)

set(APPSRV_RESOURCES_DIR ${CMAKE_CURRENT_LIST_DIR})

function(appsrv_embed_resources target)
  set(manifest ${CMAKE_CURRENT_BINARY_DIR}/embedded_resources.list)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/embedded_resources_data.cc)
  set(files)
  set(lines)
  foreach(entry IN LISTS APPSRV_RESOURCES)
    string(REPLACE "=" ";" pair "${entry}")
    list(GET pair 1 path)
    list(APPEND files ${APPSRV_RESOURCES_DIR}/${path})
    string(APPEND lines "${entry}\n")
  endforeach()
  file(CONFIGURE OUTPUT ${manifest} CONTENT "${lines}")
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DMANIFEST=${manifest} -DROOT=${APPSRV_RESOURCES_DIR}
            -DOUTPUT=${output} -P ${APPSRV_RESOURCES_DIR}/embed.cmake
    DEPENDS ${manifest} ${files} ${APPSRV_RESOURCES_DIR}/embed.cmake
    COMMENT "Embedding resources"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()
