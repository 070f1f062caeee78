# Included by the top-level list of the Windows build.
# The drawn window's typeface (three JetBrains Mono fonts) and brand image travel inside every
# setup as RCDATA resources. A build may leave both out on purpose (ZS_EMBED_UI_RESOURCES=OFF): the
# window then draws with an installed font and without the image.
option(ZS_EMBED_UI_RESOURCES "Link the window's fonts and brand image into the setup" ON)
set(ZS_FONT_DIR /usr/share/fonts/truetype/jetbrains-mono CACHE PATH
  "Where JetBrainsMono-Regular, -Medium and -SemiBold.ttf are (Debian's fonts-jetbrains-mono)")

set(ZS_UI_RESOURCE_DIR ${CMAKE_BINARY_DIR}/resources)
set(ZS_BRAND_PNG ${ZS_UI_RESOURCE_DIR}/brand.png)
file(MAKE_DIRECTORY ${ZS_UI_RESOURCE_DIR})

set(lines "// Made by CMake: the window's fonts and brand image.\n")
set(files)
set(ZS_UI_FONTS OFF)
if(ZS_EMBED_UI_RESOURCES)
  set(fonts ${ZS_FONT_DIR}/JetBrainsMono-Regular.ttf ${ZS_FONT_DIR}/JetBrainsMono-Medium.ttf
    ${ZS_FONT_DIR}/JetBrainsMono-SemiBold.ttf)
  foreach(font ${fonts})
    if(NOT EXISTS ${font})
      # A setup built without its typeface would still run, but not as it is meant to look: an
      # official build never leaves the fonts out unnoticed.
      message(FATAL_ERROR "${font} is missing: install Debian's fonts-jetbrains-mono (scripts/bootstrap.sh "
        "does), point ZS_FONT_DIR at the fonts, or build with -DZS_EMBED_UI_RESOURCES=OFF")
    endif()
  endforeach()
  set(ZS_UI_FONTS ON)
  list(GET fonts 0 regular)
  list(GET fonts 1 medium)
  list(GET fonts 2 semibold)
  string(APPEND lines "FONT_R RCDATA \"${regular}\"\nFONT_M RCDATA \"${medium}\"\nFONT_S RCDATA \"${semibold}\"\n")
  list(APPEND files ${fonts})

  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_custom_command(OUTPUT ${ZS_BRAND_PNG}
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/make_brand.py ${ZS_BRAND_PNG}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_brand.py
    COMMENT "Drawing the brand image"
    VERBATIM)
  string(APPEND lines "BRAND RCDATA \"${ZS_BRAND_PNG}\"\n")
  list(APPEND files ${ZS_BRAND_PNG})
endif()

file(CONFIGURE OUTPUT ${ZS_UI_RESOURCE_DIR}/ui_resources.rc CONTENT "${lines}")
add_custom_target(zs_ui_resources DEPENDS ${files})
# Every resource script may include "ui_resources.rc".
add_compile_options($<$<COMPILE_LANGUAGE:RC>:-I${ZS_UI_RESOURCE_DIR}>)
set_property(GLOBAL PROPERTY ZS_UI_RESOURCE_FILES "${files};${ZS_UI_RESOURCE_DIR}/ui_resources.rc")

# zs_ui_resources(<target> <resource script>): the script includes "ui_resources.rc"; it is
# compiled after the image is drawn and again whenever a font or the image changes.
function(zs_ui_resources target script)
  get_property(files GLOBAL PROPERTY ZS_UI_RESOURCE_FILES)
  get_target_property(dir ${target} SOURCE_DIR)
  add_dependencies(${target} zs_ui_resources)
  set_property(SOURCE ${script} DIRECTORY ${dir} APPEND PROPERTY OBJECT_DEPENDS ${files})
endfunction()

# Wires every target that compiles resources/setup.rc, wherever it is defined; called once all
# targets exist.
function(zs_ui_resources_for_setups)
  set(dirs ${CMAKE_SOURCE_DIR})
  set(script ${CMAKE_SOURCE_DIR}/resources/setup.rc)
  while(dirs)
    list(POP_FRONT dirs dir)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND dirs ${subdirs})
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target ${targets})
      get_target_property(sources ${target} SOURCES)
      if(sources AND script IN_LIST sources)
        zs_ui_resources(${target} ${script})
      endif()
    endforeach()
  endwhile()
endfunction()
