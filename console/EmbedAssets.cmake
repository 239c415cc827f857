# cmake -DWEB_DIR=... -DOUT=... -P EmbedAssets.cmake
# Writes a .cpp holding every file of WEB_DIR as a byte array, with its type.
file(GLOB files RELATIVE ${WEB_DIR} ${WEB_DIR}/*)
list(SORT files)
set(arrays "")
set(table "")
set(i 0)
foreach(f ${files})
    file(READ ${WEB_DIR}/${f} hex HEX)
    string(LENGTH "${hex}" hexlen)
    math(EXPR size "${hexlen} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "(([^,]*,){24})" "\\1\n" bytes "${bytes}")
    get_filename_component(ext ${f} LAST_EXT)
    set(type "application/octet-stream")
    if(ext STREQUAL ".html")
        set(type "text/html; charset=utf-8")
    elseif(ext STREQUAL ".js")
        set(type "text/javascript; charset=utf-8")
    elseif(ext STREQUAL ".css")
        set(type "text/css; charset=utf-8")
    elseif(ext STREQUAL ".svg")
        set(type "image/svg+xml")
    elseif(ext STREQUAL ".png")
        set(type "image/png")
    endif()
    string(APPEND arrays "const unsigned char a${i}[] = {\n${bytes}0};\n")
    string(APPEND table "    {\"${f}\", \"${type}\", a${i}, ${size}},\n")
    math(EXPR i "${i} + 1")
endforeach()
file(WRITE ${OUT}.tmp "// Generated from console/web by EmbedAssets.cmake; do not edit.
#include \"console/Assets.h\"

namespace nvconsole {
namespace {
${arrays}
const Asset kAssets[] = {
${table}};
} // namespace

const Asset* FindAsset(std::string_view path) {
    for (const Asset& a : kAssets)
        if (a.path == path)
            return &a;
    return nullptr;
}

} // namespace nvconsole
")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
