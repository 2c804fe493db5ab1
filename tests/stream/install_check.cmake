# Installs the jstream component into a fresh prefix, builds installed_consumer.cpp against
# that prefix alone (plus Qt Core), and runs it.
#
# -D BUILD_DIR, PREFIX, SOURCE, CXX, QT_INCLUDES (folders joined by "|"), QT_CORE (library file)

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --component jstream
                        --prefix ${PREFIX}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "installing the jstream component failed")
endif()
foreach(header JStreamGlobal.h JStream.h JByteStream.h JBufferString.h JFileStream.h
               JMappedStream.h JBufferedStream.h)
    if(NOT EXISTS ${PREFIX}/include/jstream/${header})
        message(FATAL_ERROR "${header} is not installed under include/jstream")
    endif()
endforeach()
file(GLOB libdirs ${PREFIX}/lib*)
set(qt_flags)
string(REPLACE "|" ";" QT_INCLUDES "${QT_INCLUDES}")
foreach(dir IN LISTS QT_INCLUDES)
    list(APPEND qt_flags -I${dir})
endforeach()
execute_process(COMMAND ${CXX} -std=c++20 -fPIC -I${PREFIX}/include ${qt_flags} ${SOURCE}
                        -L${libdirs} -ljstream ${QT_CORE} -Wl,-rpath,${libdirs}
                        -o ${PREFIX}/consumer
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "building against the installed headers failed")
endif()
execute_process(COMMAND ${PREFIX}/consumer RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "the consumer of the installed library failed")
endif()
