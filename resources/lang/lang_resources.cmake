# Included by the top-level list of the Windows build, after ui_resources.cmake.
# The language tables (resources/lang/<tag>.rc, listed in languages.rc) travel in every setup as
# string tables. Their entries name texts by key (TXT_<Key>); the numbers come from
# src/base/text_ids.h, the one list of keys, which the C++ side reads as the TextId enumeration.
# The resource compiler cannot expand that list, so configure writes it out as plain defines.
set(ZS_TEXT_IDS ${CMAKE_SOURCE_DIR}/src/base/text_ids.h)
set(ZS_LANG_DIR ${CMAKE_CURRENT_LIST_DIR})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ZS_TEXT_IDS})
file(READ ${ZS_TEXT_IDS} ids_text)
string(REGEX MATCHALL "X\\([A-Za-z0-9_]+, *[0-9]+\\)" id_rows "${ids_text}")
set(defines "// Made by CMake from src/base/text_ids.h: the number of every text key.\n")
foreach(row IN LISTS id_rows)
  string(REGEX MATCH "X\\(([A-Za-z0-9_]+), *([0-9]+)\\)" _ "${row}")
  string(APPEND defines "#define TXT_${CMAKE_MATCH_1} ${CMAKE_MATCH_2}\n")
endforeach()
file(CONFIGURE OUTPUT ${ZS_UI_RESOURCE_DIR}/text_numbers.h CONTENT "${defines}")

# The tables are checked before anything that carries them is linked: a table that lacks a key,
# has one too many or words a placeholder differently stops the build with the check's report.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
file(GLOB ZS_LANG_FILES CONFIGURE_DEPENDS ${ZS_LANG_DIR}/*.rc)
set(stamp ${ZS_UI_RESOURCE_DIR}/texts-checked)
add_custom_command(OUTPUT ${stamp}
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/texts/check_texts.py
    --ids ${ZS_TEXT_IDS} --lang-dir ${ZS_LANG_DIR} --stamp ${stamp}
  DEPENDS ${ZS_LANG_FILES} ${ZS_TEXT_IDS} ${CMAKE_SOURCE_DIR}/tools/texts/check_texts.py
    ${CMAKE_SOURCE_DIR}/tools/texts/lang_tables.py ${CMAKE_SOURCE_DIR}/tools/texts/make_pseudo.py
  COMMENT "Checking the language tables"
  VERBATIM)
add_custom_target(zs_texts_check DEPENDS ${stamp})
add_dependencies(zs_ui_resources zs_texts_check)
# A resource script that includes the tables is compiled again when one changes.
set_property(GLOBAL APPEND PROPERTY ZS_UI_RESOURCE_FILES ${ZS_LANG_FILES} ${ZS_UI_RESOURCE_DIR}/text_numbers.h)
