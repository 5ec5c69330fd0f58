# The message box helper: MsgBox and MsgLanguage over the message tables of
# zefa_core, shown through the application object.
add_library(zefa_msgbox STATIC ${CMAKE_CURRENT_LIST_DIR}/MessageDialog_u.cpp)
target_include_directories(zefa_msgbox PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(zefa_msgbox PUBLIC zefa_core zefa_toolkit)
