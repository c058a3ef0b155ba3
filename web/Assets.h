// The dashboard's files, compiled into the program (generated from web/assets and
// third_party/uplot at build time).
#pragma once

#include <cstddef>
#include <vector>

namespace web {

struct Asset {
    const char *path;  // as requested; "/index.html" is served at "/"
    const char *mime;
    const unsigned char *data;
    size_t size;
};

const std::vector<Asset> &Assets();

}  // namespace web
