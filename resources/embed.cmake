# Turns the files named in MANIFEST (lines NAME=path, paths relative to ROOT) into OUTPUT, a
# C++ source that defines the embedded resource table of appsrv::server.
file(STRINGS ${MANIFEST} entries)
set(arrays "")
set(rows "")
set(index 0)
foreach(entry IN LISTS entries)
  string(FIND "${entry}" "=" eq)
  string(SUBSTRING "${entry}" 0 ${eq} name)
  math(EXPR start "${eq} + 1")
  string(SUBSTRING "${entry}" ${start} -1 path)
  file(READ ${ROOT}/${path} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Twenty bytes per line keeps the generated file readable in a diff tool.
  string(REGEX REPLACE "((0x..,){20})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "const unsigned char kData${index}[] = {\n    ${bytes}0x00};\n")
  string(APPEND rows "    {\"${name}\", kData${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.new
"// Generated from resources/ at build time; do not edit.
#include \"server/pipeline/embedded_resources.h\"

namespace appsrv::server {
namespace {
${arrays}}  // namespace

const EmbeddedResource kEmbeddedResources[] = {
${rows}};
const size_t kEmbeddedResourceCount = ${index};

}  // namespace appsrv::server
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
