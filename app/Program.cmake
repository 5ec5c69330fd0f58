# The program: the main window and its logic as a library (which the tests
# link as well), and the executable with its entry and resources.
enable_language(RC)

add_library(zefa_app_lib STATIC
  ZEFA1ID_u.cpp
  port_choice.cpp
)
target_include_directories(zefa_app_lib PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(zefa_app_lib PUBLIC zefa_comm zefa_core zefa_msgbox zefa_settings zefa_toolkit)

# Gives a target the program's resources (the arrow bitmap, the icon, the
# common controls 6 manifest, the project's version). The resource script
# names its files relative to its own folder, and the resource compiler
# reports no dependencies, so they are named here, in the scope of the
# target's own folder.
function(zefa_use_program_resources target)
  set(res ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/res)
  set(script ${res}/ZEFA1ID.rc)
  target_sources(${target} PRIVATE ${script})
  set_property(SOURCE ${script} TARGET_DIRECTORY ${target} APPEND PROPERTY INCLUDE_DIRECTORIES
               ${res})
  set_property(SOURCE ${script} TARGET_DIRECTORY ${target} APPEND PROPERTY COMPILE_DEFINITIONS
               ZEFA_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
               ZEFA_VERSION_MINOR=${PROJECT_VERSION_MINOR}
               ZEFA_VERSION_PATCH=${PROJECT_VERSION_PATCH})
  set_property(SOURCE ${script} TARGET_DIRECTORY ${target} APPEND PROPERTY OBJECT_DEPENDS
               ${res}/arrow.bmp
               ${res}/zefa1id.ico
               ${res}/ZEFA1ID.manifest)
endfunction()

add_executable(ZEFA1ID WIN32 main.cpp)
target_link_libraries(ZEFA1ID PRIVATE zefa_app_lib)
zefa_use_program_resources(ZEFA1ID)

if(MSVC)
  # The texts are UTF-8 in the sources; the manifest is the resource script's.
  target_compile_options(zefa_app_lib PRIVATE /utf-8)
  target_link_options(ZEFA1ID PRIVATE /MANIFEST:NO)
endif()
