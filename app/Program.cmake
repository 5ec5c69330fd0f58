# The program: the main window and its logic as a library (which the tests
# link as well), and the executable with its entry and resources.
enable_language(RC)

add_library(zefa_app_lib STATIC
  ZEFA1ID_u.cpp
  port_choice.cpp
)
target_include_directories(zefa_app_lib PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(zefa_app_lib PUBLIC zefa_comm zefa_core zefa_msgbox zefa_settings zefa_toolkit)

add_executable(ZEFA1ID WIN32 main.cpp res/ZEFA1ID.rc)
target_link_libraries(ZEFA1ID PRIVATE zefa_app_lib)
# The resource script names its files relative to its own folder; the
# resource compiler reports no dependencies, so they are named here.
set_property(SOURCE res/ZEFA1ID.rc APPEND PROPERTY INCLUDE_DIRECTORIES ${CMAKE_CURRENT_SOURCE_DIR}/res)
set_property(SOURCE res/ZEFA1ID.rc APPEND PROPERTY OBJECT_DEPENDS
             ${CMAKE_CURRENT_SOURCE_DIR}/res/arrow.bmp
             ${CMAKE_CURRENT_SOURCE_DIR}/res/zefa1id.ico
             ${CMAKE_CURRENT_SOURCE_DIR}/res/ZEFA1ID.manifest)

if(MSVC)
  # The texts are UTF-8 in the sources; the manifest is the resource script's.
  target_compile_options(zefa_app_lib PRIVATE /utf-8)
  target_link_options(ZEFA1ID PRIVATE /MANIFEST:NO)
endif()
