# SPDX-License-Identifier: LGPL-2.1-or-later
# "cmake --install" of the C++ interface: the public headers under
# include/veltrax/api, the static libraries and a package configuration, so
# that a program finds them with
#   find_package(veltrax 1.0 REQUIRED)
#   target_link_libraries(app PRIVATE veltrax::api)
# and includes "api/veltrax.hpp" as it does with add_subdirectory.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# api/veltrax.hpp and what it includes; the other headers of api/ are the
# project's own.
set(VELTRAX_PUBLIC_HEADERS
  api/veltrax.hpp api/build.hpp api/controller.hpp api/errors.hpp api/options.hpp api/plant.hpp api/settings.hpp
  api/snapshot.hpp api/plant_models.hpp)
set(VELTRAX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/veltrax)

target_include_directories(veltrax_api PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/veltrax>)
set_target_properties(veltrax_settings PROPERTIES EXPORT_NAME settings)
set_target_properties(veltrax_core PROPERTIES EXPORT_NAME core)
set_target_properties(matprod_core PROPERTIES EXPORT_NAME matprod)
install(TARGETS veltrax_api veltrax_settings veltrax_core matprod_core EXPORT veltrax_targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${VELTRAX_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/veltrax/api)
install(EXPORT veltrax_targets NAMESPACE veltrax:: FILE veltraxTargets.cmake DESTINATION ${VELTRAX_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/veltraxConfig.cmake.in
  ${PROJECT_BINARY_DIR}/veltraxConfig.cmake INSTALL_DESTINATION ${VELTRAX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/veltraxConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/veltraxConfig.cmake ${PROJECT_BINARY_DIR}/veltraxConfigVersion.cmake
        DESTINATION ${VELTRAX_CMAKE_DIR})
