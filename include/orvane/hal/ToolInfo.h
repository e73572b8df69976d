#pragma once

#include <string>
#include <vector>

#include "orvane/Enums.h"

namespace orvane {

// What a camera tool is, which parameters it has, and what it does.
struct ToolInfo {
    ToolType toolType = TOOL_BIASES;
    std::vector<std::string> paramNames;
    std::string description;

    bool operator==(const ToolInfo& other) const {
        return toolType == other.toolType && paramNames == other.paramNames &&
               description == other.description;
    }
};

}  // namespace orvane
