# Run while installing: writes the polkit action org.olvandi.quorvane.policy with the path the
# program now has, so `pkexec <prefix>/lib/zorbel/zorbel` finds its action.
#
# In: CMAKE_INSTALL_PREFIX and DESTDIR as the install sets them; ZORBEL_PROGRAM and
# ZORBEL_POLICY_FOLDER relative to the prefix (or absolute).

cmake_path(ABSOLUTE_PATH ZORBEL_PROGRAM BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE
           OUTPUT_VARIABLE program)
cmake_path(ABSOLUTE_PATH ZORBEL_POLICY_FOLDER BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE
           OUTPUT_VARIABLE folder)

# The path goes into XML text.
string(REPLACE "&" "&amp;" program "${program}")
string(REPLACE "<" "&lt;" program "${program}")
string(REPLACE ">" "&gt;" program "${program}")
set(ZORBEL_INSTALLED_PROGRAM "${program}")

set(policy "$ENV{DESTDIR}${folder}/org.olvandi.quorvane.policy")
message(STATUS "Installing: ${policy}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/org.olvandi.quorvane.policy.in" "${policy}" @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# Listed in install_manifest.txt like every file the install rules put in place.
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${policy}")
