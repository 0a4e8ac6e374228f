# Our parser against pugixml's DOM parse (Debian libpugixml-dev, used here only).
find_package(pugixml REQUIRED)
dvr_add_bench(xml_parse SOURCES ${CMAKE_CURRENT_LIST_DIR}/xml_parse.cpp LIBS dvr_config pugixml::pugixml)
