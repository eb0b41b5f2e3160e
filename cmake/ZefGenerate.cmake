# Generation of C++ from the declarative model, into the build tree.
set(ZEFGEN ${CMAKE_SOURCE_DIR}/generator/zefgen.py)
file(GLOB ZEFGEN_TEMPLATES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/generator/templates/*.tmpl ${CMAKE_SOURCE_DIR}/generator/*.py)

# zef_generate(<sources-var> <headers-var> model.toml...): one header and one
# source per model file, named by the model's `output` key.
function(zef_generate sources_var headers_var)
  set(sources)
  set(headers)
  foreach(model IN LISTS ARGN)
    file(READ ${CMAKE_SOURCE_DIR}/${model} text)
    string(REGEX MATCH "output = \"([^\"]+)\"" _ "${text}")
    set(out ${CMAKE_MATCH_1})
    if(NOT out)
      message(FATAL_ERROR "${model}: no output key")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${model})
    add_custom_command(
      OUTPUT ${PHY_GEN_DIR}/${out}.h ${PHY_GEN_DIR}/${out}.cc
      COMMAND Python3::Interpreter ${ZEFGEN} ${CMAKE_SOURCE_DIR}/${model}
              --out ${PHY_GEN_DIR} --root ${CMAKE_SOURCE_DIR}
      DEPENDS ${CMAKE_SOURCE_DIR}/${model} ${ZEFGEN} ${ZEFGEN_TEMPLATES}
      COMMENT "zefgen ${model}"
      VERBATIM)
    list(APPEND sources ${PHY_GEN_DIR}/${out}.cc)
    list(APPEND headers ${PHY_GEN_DIR}/${out}.h)
  endforeach()
  set(${sources_var} ${sources} PARENT_SCOPE)
  set(${headers_var} ${headers} PARENT_SCOPE)
endfunction()

# Writes an umbrella header including every public header, by its path
# relative to the source or generated root.
function(zef_umbrella_header path)
  set(body "// The whole public API of the BCM54980 model library.\n#pragma once\n\n")
  foreach(h IN LISTS ARGN)
    if(h MATCHES "^${PHY_GEN_DIR}/")
      file(RELATIVE_PATH rel ${PHY_GEN_DIR} ${h})
    else()
      file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${h})
    endif()
    string(APPEND body "#include \"${rel}\"\n")
  endforeach()
  file(CONFIGURE OUTPUT ${path} CONTENT "${body}" @ONLY)
endfunction()
