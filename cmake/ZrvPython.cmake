# Finds pybind11 and numpy for ZRV_PYTHON_EXECUTABLE and adds the Python
# module (python/). With ZRV_BUILD_PYTHON=AUTO a missing part only turns the
# module off; with ON it is an error.
set(Python_EXECUTABLE ${ZRV_PYTHON_EXECUTABLE})
find_package(Python 3 QUIET COMPONENTS Interpreter Development.Module NumPy)
if(Python_FOUND AND Python_NumPy_FOUND)
  set(PYBIND11_FINDPYTHON ON)
  find_package(pybind11 2.6 CONFIG QUIET)
endif()
if(NOT (Python_FOUND AND Python_NumPy_FOUND AND pybind11_FOUND))
  set(zrv_missing "the Python module needs ${ZRV_PYTHON_EXECUTABLE} with its development files, "
                  "numpy and pybind11 (Debian: python3-dev python3-numpy pybind11-dev)")
  if(ZRV_PYTHON_WANTED STREQUAL "AUTO")
    message(STATUS "Python module not built: ${zrv_missing}")
    return()
  endif()
  message(FATAL_ERROR ${zrv_missing})
endif()
message(STATUS "Python module for ${Python_EXECUTABLE} (${Python_VERSION}), pybind11 ${pybind11_VERSION}")

set(ZRV_PYTHON_BUILD_DIR ${CMAKE_BINARY_DIR}/python)
set(ZRV_PYTHON_INSTALL_DIR
    ${CMAKE_INSTALL_LIBDIR}/python${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}/site-packages
    CACHE STRING "Install folder of the Python module, relative to the prefix")
add_subdirectory(${CMAKE_SOURCE_DIR}/python ${CMAKE_BINARY_DIR}/python-build)
