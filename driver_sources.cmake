# The driver's sources, shared by the host build and the Windows build: every
# .cpp of the six subsystem folders.
file(GLOB VKT_DRIVER_SOURCES CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/driver/*.cpp
    ${CMAKE_CURRENT_LIST_DIR}/firmware/*.cpp
    ${CMAKE_CURRENT_LIST_DIR}/supervision/*.cpp
    ${CMAKE_CURRENT_LIST_DIR}/power/*.cpp
    ${CMAKE_CURRENT_LIST_DIR}/access/*.cpp
    ${CMAKE_CURRENT_LIST_DIR}/securedevice/*.cpp)
