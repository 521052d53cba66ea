# The Windows SDK zip, made by every MinGW build that has the tools:
# qktoken-sdk-VERSION-win32.zip or -win64.zip in the build folder, with the
# headers, the DLL, qktool.exe, the driver, the MinGW libraries, a .def file
# and an import library for Microsoft's linker (docs/windows.md).
if(NOT MINGW OR NOT TARGET qktool OR NOT TARGET qktoken-driver)
  return()
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QK_SDK_TARGET 64-bit)
  set(QK_SDK_SUFFIX win64)
  set(QK_SDK_MACHINE i386:x86-64)
else()
  set(QK_SDK_TARGET 32-bit)
  set(QK_SDK_SUFFIX win32)
  set(QK_SDK_MACHINE i386)
endif()
if(NOT CMAKE_DLLTOOL OR NOT CMAKE_OBJDUMP)
  message(WARNING "no dlltool or objdump: the Windows SDK zip is not made")
  return()
endif()
set(QK_SDK_VERSION ${PROJECT_VERSION})
set(QK_SDK_NAME qktoken-sdk-${PROJECT_VERSION}-${QK_SDK_SUFFIX})
set(QK_SDK_ZIP ${PROJECT_BINARY_DIR}/${QK_SDK_NAME}.zip)
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows-sdk-README.txt.in
  ${PROJECT_BINARY_DIR}/sdk-readme/README.txt @ONLY)

add_custom_command(OUTPUT ${QK_SDK_ZIP}
  COMMAND ${CMAKE_COMMAND}
    -DSTAGE=${PROJECT_BINARY_DIR}/sdk-stage -DZIP=${QK_SDK_ZIP} -DNAME=${QK_SDK_NAME}
    "-DHEADERS=${PROJECT_SOURCE_DIR}/include/qktoken.h$<SEMICOLON>${PROJECT_SOURCE_DIR}/include/qkrsa.h"
    -DDLL=$<TARGET_FILE:qktoken> -DIMPLIB=$<TARGET_LINKER_FILE:qktoken>
    -DSTATIC=$<TARGET_FILE:qktoken_static> -DDEF=${QK_DLL_DEF}
    -DQKTOOL=$<TARGET_FILE:qktool> -DDRIVER=$<TARGET_FILE:qktoken-driver>
    -DREADME=${PROJECT_BINARY_DIR}/sdk-readme/README.txt
    -DDLLTOOL=${CMAKE_DLLTOOL} -DDLLTOOL_MACHINE=${QK_SDK_MACHINE} -DOBJDUMP=${CMAKE_OBJDUMP}
    -P ${CMAKE_CURRENT_LIST_DIR}/make-windows-sdk.cmake
  DEPENDS qktoken qktoken_static qktool qktoken-driver
    ${CMAKE_CURRENT_LIST_DIR}/make-windows-sdk.cmake ${PROJECT_BINARY_DIR}/sdk-readme/README.txt
    ${PROJECT_SOURCE_DIR}/include/qktoken.h ${PROJECT_SOURCE_DIR}/include/qkrsa.h
  COMMENT "Windows SDK ${QK_SDK_NAME}.zip"
  VERBATIM)
add_custom_target(windows_sdk ALL DEPENDS ${QK_SDK_ZIP})
