#pragma once

#include <string_view>
#include <vector>

namespace veskar::tune {

/// One file of the tuning page, built into the binary from app/tune/web.
struct WebAsset {
    std::string_view name;     ///< file name, such as "tune.js"
    std::string_view content;  ///< the file's bytes
};

/// Every file of the page.
const std::vector<WebAsset>& WebAssets();

}  // namespace veskar::tune
