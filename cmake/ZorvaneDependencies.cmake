# Third-party dependencies of the driver.
#
# Arrow C++ comes from the pinned pyarrow wheel in the project's .venv (it ships
# headers and shared libraries); -DZV_USE_SYSTEM_ARROW=ON takes an installed Arrow
# found with find_package instead. Either way the version is pinned, because the
# driver exchanges Arrow C++ objects (not only C-data structs) with Arrow's own
# shared libraries.
set(ZV_ARROW_VERSION "26.0.1" CACHE STRING "Pinned Apache Arrow version")
option(ZV_USE_SYSTEM_ARROW "Use an installed Arrow C++ instead of the pyarrow wheel" OFF)
set(ZV_PYTHON "${CMAKE_SOURCE_DIR}/.venv/bin/python" CACHE FILEPATH "Python of the project's virtual environment")

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)

# libpg_query ships neither a CMake package nor a pkg-config file on Debian.
find_path(PG_QUERY_INCLUDE_DIR pg_query.h REQUIRED)
find_library(PG_QUERY_LIBRARY pg_query REQUIRED)
add_library(zv::pg_query UNKNOWN IMPORTED)
set_target_properties(zv::pg_query PROPERTIES
  IMPORTED_LOCATION "${PG_QUERY_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${PG_QUERY_INCLUDE_DIR}")

if(NOT WIN32)
  pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)
endif()

if(ZV_USE_SYSTEM_ARROW)
  find_package(Arrow ${ZV_ARROW_VERSION} EXACT CONFIG REQUIRED)
  find_package(ArrowCompute ${ZV_ARROW_VERSION} EXACT CONFIG REQUIRED)
  find_package(ArrowAcero ${ZV_ARROW_VERSION} EXACT CONFIG REQUIRED)
  find_package(Parquet ${ZV_ARROW_VERSION} EXACT CONFIG REQUIRED)
  add_library(zv::arrow INTERFACE IMPORTED)
  target_link_libraries(zv::arrow INTERFACE
    Arrow::arrow_shared ArrowCompute::arrow_compute_shared
    ArrowAcero::arrow_acero_shared Parquet::parquet_shared)
  set(ZV_ARROW_LIBRARY_DIR "")
else()
  execute_process(
    COMMAND "${ZV_PYTHON}" -c "import pyarrow as pa; print(pa.__version__); print(pa.get_include()); print(pa.get_library_dirs()[0])"
    OUTPUT_VARIABLE _pa_out RESULT_VARIABLE _pa_rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _pa_rc EQUAL 0)
    message(FATAL_ERROR "pyarrow not importable with ${ZV_PYTHON}; run scripts/setup.sh (or make build)")
  endif()
  string(REPLACE "\n" ";" _pa_lines "${_pa_out}")
  list(GET _pa_lines 0 _pa_version)
  list(GET _pa_lines 1 ZV_ARROW_INCLUDE_DIR)
  list(GET _pa_lines 2 ZV_ARROW_LIBRARY_DIR)
  if(NOT _pa_version VERSION_EQUAL ZV_ARROW_VERSION)
    message(FATAL_ERROR "pyarrow ${_pa_version} found, the build is pinned to ${ZV_ARROW_VERSION}")
  endif()
  string(REPLACE "." ";" _pa_parts "${ZV_ARROW_VERSION}")
  list(GET _pa_parts 0 _pa_major)
  math(EXPR _so_version "${_pa_major} * 100")
  add_library(zv::arrow INTERFACE IMPORTED)
  foreach(_lib arrow arrow_compute arrow_acero parquet)
    set(_path "${ZV_ARROW_LIBRARY_DIR}/lib${_lib}.so.${_so_version}")
    if(NOT EXISTS "${_path}")
      message(FATAL_ERROR "missing ${_path} in the pyarrow wheel")
    endif()
    add_library(zv::${_lib}_lib SHARED IMPORTED)
    set_target_properties(zv::${_lib}_lib PROPERTIES IMPORTED_LOCATION "${_path}" IMPORTED_NO_SONAME OFF)
    target_link_libraries(zv::arrow INTERFACE zv::${_lib}_lib)
  endforeach()
  # The wheel's headers are third-party code: keep our warnings out of them.
  target_include_directories(zv::arrow SYSTEM INTERFACE "${ZV_ARROW_INCLUDE_DIR}")
endif()

# The ADBC C header comes from the pinned adbc-driver-manager package, which is
# also the client the tests load the driver with.
execute_process(
  COMMAND "${ZV_PYTHON}" -c "import adbc_driver_manager, os; print(os.path.join(os.path.dirname(adbc_driver_manager.__file__), 'arrow-adbc'))"
  OUTPUT_VARIABLE ZV_ADBC_INCLUDE_DIR RESULT_VARIABLE _adbc_rc OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT _adbc_rc EQUAL 0 OR NOT EXISTS "${ZV_ADBC_INCLUDE_DIR}/adbc.h")
  find_path(ZV_ADBC_INCLUDE_DIR arrow-adbc/adbc.h REQUIRED)
  set(ZV_ADBC_INCLUDE_DIR "${ZV_ADBC_INCLUDE_DIR}/arrow-adbc")
endif()
add_library(zv::adbc_header INTERFACE IMPORTED)
target_include_directories(zv::adbc_header SYSTEM INTERFACE "${ZV_ADBC_INCLUDE_DIR}")
message(STATUS "ADBC header: ${ZV_ADBC_INCLUDE_DIR}/adbc.h")
