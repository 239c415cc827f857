// The console's pages, scripts and styles, built into the executable from
// console/web so that the server needs no files and no network at run time.
#pragma once

#include <cstddef>
#include <string_view>

namespace nvconsole {

struct Asset {
    std::string_view path; // under web/, e.g. "app.js"
    std::string_view type; // Content-Type
    const unsigned char* data;
    std::size_t size;
};

// nullptr when there is no such asset.
const Asset* FindAsset(std::string_view path);

} // namespace nvconsole
