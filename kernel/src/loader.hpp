#pragma once
#include <string>
#include <vector>

namespace kern::loader {
std::vector<std::string> loaded_names();
}
