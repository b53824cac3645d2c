#include "app/files/channel_roles.h"

#include <algorithm>
#include <cctype>

namespace veskar {
namespace {

// The role letter of a channel name within `layer`: 'R' for "R" or "r" (or
// "layer.R"), 0 when the name is not one of the layer's role channels.
char RoleOf(const std::string& name, const std::string& layer) {
    const std::string prefix = layer.empty() ? "" : layer + ".";
    if (name.size() != prefix.size() + 1 || name.compare(0, prefix.size(), prefix) != 0) {
        return 0;
    }
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name.back())));
    return std::string("RGBAY").find(letter) != std::string::npos ? letter : 0;
}

// Names image libraries give channels that have none of their own.
bool Unnamed(const std::string& name) {
    if (name.empty()) return true;
    const std::string stem = "channel";
    return name.size() > stem.size() && name.compare(0, stem.size(), stem) == 0 &&
           std::all_of(name.begin() + static_cast<long>(stem.size()), name.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

}  // namespace

std::vector<std::string> ChannelLayout::MissingColour() const {
    std::vector<std::string> missing;
    if (grey >= 0) return missing;
    if (red < 0) missing.push_back("R");
    if (green < 0) missing.push_back("G");
    if (blue < 0) missing.push_back("B");
    return missing;
}

ChannelLayout LayoutOf(const OIIO::ImageSpec& spec, const std::string& layer) {
    ChannelLayout layout;
    layout.layer = layer;
    int grey = -1;
    for (int i = 0; i < spec.nchannels; ++i) {
        int* slot = nullptr;
        switch (RoleOf(spec.channelnames[i], layer)) {
            case 'R': slot = &layout.red; break;
            case 'G': slot = &layout.green; break;
            case 'B': slot = &layout.blue; break;
            case 'A': slot = &layout.alpha; break;
            case 'Y': slot = &grey; break;
            default: break;
        }
        // The first channel of a name wins; a repeated name is carried as further.
        if (slot != nullptr && *slot < 0) {
            *slot = i;
        }
    }
    const bool anyColour = layout.red >= 0 || layout.green >= 0 || layout.blue >= 0;
    if (!anyColour) {
        if (grey >= 0) {
            layout.grey = grey;
        } else if (layer.empty() && spec.nchannels - (layout.alpha >= 0 ? 1 : 0) == 1) {
            // One channel without a name of its own (beside an alpha) is grey.
            for (int i = 0; i < spec.nchannels; ++i) {
                if (i != layout.alpha && Unnamed(spec.channelnames[i])) {
                    layout.grey = i;
                }
            }
        }
    }
    for (int i = 0; i < spec.nchannels; ++i) {
        if (i != layout.red && i != layout.green && i != layout.blue && i != layout.grey &&
            i != layout.alpha) {
            layout.extra.push_back(i);
        }
    }
    return layout;
}

std::vector<std::string> ColourLayers(const OIIO::ImageSpec& spec) {
    std::vector<std::string> layers;
    for (const std::string& name : spec.channelnames) {
        const std::size_t dot = name.rfind('.');
        const std::string layer = dot == std::string::npos ? "" : name.substr(0, dot);
        const char role = RoleOf(name, layer);
        if (role != 0 && role != 'A' && std::find(layers.begin(), layers.end(), layer) == layers.end()) {
            layers.push_back(layer);
        }
    }
    return layers;
}

}  // namespace veskar
