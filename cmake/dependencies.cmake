# cJSON: Debian's libcjson-dev ships a CMake package (target `cjson`) and a
# pkg-config file; either will do. TWRELAY_CJSON_TARGET names what to link.
find_package(cJSON CONFIG QUIET)
if(TARGET cjson)
  set(TWRELAY_CJSON_TARGET cjson)
  set(TWRELAY_CJSON_VIA_CONFIG ON)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CJSON REQUIRED IMPORTED_TARGET GLOBAL libcjson)
  set(TWRELAY_CJSON_TARGET PkgConfig::CJSON)
  set(TWRELAY_CJSON_VIA_CONFIG OFF)
endif()
