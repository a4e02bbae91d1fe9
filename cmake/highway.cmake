# Highway's headers for the vector kernels. Only headers are used (the levels
# are chosen by our own code), so nothing of Highway is built or linked and the
# module needs no Highway library at run time.
#
# Where the headers come from, first match wins:
# 1. A source package: the copy in third_party/highway/ that was put into it
#    when it was made (a source package holds PKG-INFO at its root). It needs
#    neither a system package nor the network.
# 2. A checkout: the system's Highway (Debian: libhwy-dev), when there is one.
# 3. Otherwise the pinned release, downloaded by URL and checked by SHA-256.
#
# Making a source package (scikit-build-core runs this configure step with
# SKBUILD_STATE "sdist") copies the headers of the pinned release and their
# licence into third_party/highway/, which the package then includes: the
# system's, when they are that release, or else the downloaded release.
#
# Sets HWY_INCLUDE_DIR (for include_directories) and HWY_LICENSE_FILE (the
# licence of those headers; empty when a system Highway gives no known one).

set(TARVELIN_HWY_VERSION 1.0.3)
# The release archive; its SHA-256 is the one its distributors list for it.
set(TARVELIN_HWY_SHA256 566fc77315878473d9a6bd815f7de78c73734acdcb745c3dde8579560ac5440e)
set(TARVELIN_HWY_URLS
  "https://github.com/google/highway/archive/refs/tags/${TARVELIN_HWY_VERSION}.tar.gz")
set(TARVELIN_HWY_BUNDLED "${PROJECT_SOURCE_DIR}/third_party/highway")

# Downloads and unpacks the pinned release (headers only: its own build is
# never added); sets tarvelin_hwy_release to its source directory.
function(tarvelin_fetch_highway)
  include(FetchContent)
  if(POLICY CMP0135) # unpacked files get the time of the unpacking
    cmake_policy(SET CMP0135 NEW)
  endif()
  FetchContent_Declare(highway
    URL ${TARVELIN_HWY_URLS}
    URL_HASH SHA256=${TARVELIN_HWY_SHA256}
    DOWNLOAD_NO_PROGRESS ON
    # A directory without CMakeLists.txt: the release is unpacked, not built.
    SOURCE_SUBDIR headers-only)
  FetchContent_GetProperties(highway)
  if(NOT highway_POPULATED)
    FetchContent_MakeAvailable(highway)
  endif()
  if(NOT EXISTS "${highway_SOURCE_DIR}/hwy/highway.h")
    message(FATAL_ERROR "Highway: no hwy/highway.h in '${highway_SOURCE_DIR}': release "
      "${TARVELIN_HWY_VERSION} was not fetched (downloads turned off by "
      "FETCHCONTENT_FULLY_DISCONNECTED?) or is not there")
  endif()
  set(tarvelin_hwy_release "${highway_SOURCE_DIR}" PARENT_SCOPE)
endfunction()

# The system's Highway headers (sets HWY_INCLUDE_DIR when found) and the
# licence file its distribution installs with them (HWY_LICENSE_FILE, or
# empty). Debian states the licence in its copyright file and keeps the text
# among its common licences.
macro(tarvelin_system_highway)
  find_path(HWY_INCLUDE_DIR hwy/highway.h)
  if(HWY_INCLUDE_DIR)
    get_filename_component(tarvelin_prefix "${HWY_INCLUDE_DIR}" DIRECTORY)
    foreach(candidate share/licenses/highway/LICENSE share/licenses/libhwy/LICENSE
        share/doc/highway/LICENSE)
      if(NOT HWY_LICENSE_FILE AND EXISTS "${tarvelin_prefix}/${candidate}")
        set(HWY_LICENSE_FILE "${tarvelin_prefix}/${candidate}")
      endif()
    endforeach()
    set(tarvelin_debian_copyright "${tarvelin_prefix}/share/doc/libhwy-dev/copyright")
    if(NOT HWY_LICENSE_FILE AND EXISTS "${tarvelin_debian_copyright}"
        AND EXISTS "${tarvelin_prefix}/share/common-licenses/Apache-2.0")
      file(STRINGS "${tarvelin_debian_copyright}" tarvelin_hwy_terms REGEX "^License: Apache-2.0$")
      if(tarvelin_hwy_terms)
        set(HWY_LICENSE_FILE "${tarvelin_prefix}/share/common-licenses/Apache-2.0")
      endif()
    endif()
  endif()
endmacro()

# The release of the Highway headers in `dir` (hwy/highway.h), as "1.0.3".
function(tarvelin_highway_version dir out)
  file(STRINGS "${dir}/hwy/highway.h" tarvelin_lines REGEX "^#define HWY_(MAJOR|MINOR|PATCH) ")
  set(parts "")
  foreach(line IN LISTS tarvelin_lines)
    string(REGEX REPLACE "^#define HWY_[A-Z]+ +([0-9]+).*" "\\1" part "${line}")
    list(APPEND parts "${part}")
  endforeach()
  list(JOIN parts "." version)
  set(${out} "${version}" PARENT_SCOPE)
endfunction()

set(HWY_LICENSE_FILE "")
if(SKBUILD_STATE STREQUAL "sdist")
  tarvelin_system_highway()
  set(tarvelin_hwy_system_version "")
  if(HWY_INCLUDE_DIR)
    tarvelin_highway_version("${HWY_INCLUDE_DIR}" tarvelin_hwy_system_version)
  endif()
  if(tarvelin_hwy_system_version STREQUAL TARVELIN_HWY_VERSION AND HWY_LICENSE_FILE)
    message(STATUS "Highway: the system's release ${TARVELIN_HWY_VERSION} for the source package")
    set(tarvelin_hwy_release "${HWY_INCLUDE_DIR}")
    set(tarvelin_hwy_license "${HWY_LICENSE_FILE}")
  else()
    message(STATUS "Highway: fetching release ${TARVELIN_HWY_VERSION} for the source package")
    tarvelin_fetch_highway()
    set(tarvelin_hwy_license "${tarvelin_hwy_release}/LICENSE")
  endif()
  file(REMOVE_RECURSE "${TARVELIN_HWY_BUNDLED}")
  file(COPY "${tarvelin_hwy_release}/hwy" DESTINATION "${TARVELIN_HWY_BUNDLED}"
    FILES_MATCHING PATTERN "*.h"
    PATTERN "contrib" EXCLUDE PATTERN "examples" EXCLUDE PATTERN "tests" EXCLUDE)
  configure_file("${tarvelin_hwy_license}" "${TARVELIN_HWY_BUNDLED}/LICENSE" COPYONLY)
  file(WRITE "${TARVELIN_HWY_BUNDLED}/VERSION" "${TARVELIN_HWY_VERSION}\n")
  message(STATUS "Highway: release ${TARVELIN_HWY_VERSION} copied into ${TARVELIN_HWY_BUNDLED}")
  set(HWY_INCLUDE_DIR "${TARVELIN_HWY_BUNDLED}")
  set(HWY_LICENSE_FILE "${TARVELIN_HWY_BUNDLED}/LICENSE")
elseif(EXISTS "${PROJECT_SOURCE_DIR}/PKG-INFO")
  if(NOT EXISTS "${TARVELIN_HWY_BUNDLED}/hwy/highway.h")
    message(FATAL_ERROR "Highway: this source package lacks third_party/highway/, "
      "which it is made with; make it again from a checkout")
  endif()
  set(HWY_INCLUDE_DIR "${TARVELIN_HWY_BUNDLED}")
  set(HWY_LICENSE_FILE "${TARVELIN_HWY_BUNDLED}/LICENSE")
  message(STATUS "Highway: the copy this source package carries")
else()
  tarvelin_system_highway()
  if(HWY_INCLUDE_DIR)
    message(STATUS "Highway: the system's, in ${HWY_INCLUDE_DIR}")
  else()
    # A failed download stops here with the download's own report; this
    # message, just before it, says what else would do.
    message(STATUS "Highway: no system headers (hwy/highway.h) found; fetching release "
      "${TARVELIN_HWY_VERSION}. Without the network: install Highway (Debian: libhwy-dev), "
      "or set FETCHCONTENT_SOURCE_DIR_HIGHWAY to an unpacked release ${TARVELIN_HWY_VERSION}")
    tarvelin_fetch_highway()
    set(HWY_INCLUDE_DIR "${tarvelin_hwy_release}")
    set(HWY_LICENSE_FILE "${tarvelin_hwy_release}/LICENSE")
  endif()
endif()

# Every wheel carries the licence of the Highway code compiled into it.
if(HWY_LICENSE_FILE AND DEFINED SKBUILD_METADATA_DIR)
  install(FILES "${HWY_LICENSE_FILE}" DESTINATION "${SKBUILD_METADATA_DIR}/licenses/highway"
    RENAME LICENSE)
elseif(DEFINED SKBUILD_METADATA_DIR)
  message(WARNING "Highway: no licence file found beside ${HWY_INCLUDE_DIR}; "
    "the wheel will not carry Highway's licence")
endif()
