// velkarin-tool's help: the program's overview and each command's options.
#pragma once

#include <string>
#include <string_view>

namespace velkarin::tool {

// The help of `command`, or of the whole program for "" or an unknown name.
std::string help_text(std::string_view command);

}  // namespace velkarin::tool
