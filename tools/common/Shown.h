// How the command-line programs quote a value they did not accept: between single quotes, so that
// a message shows where it starts and ends, with every character a terminal would act on (control
// characters, bytes that are no UTF-8) as '?', and a long value cut, with its length.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tools {

constexpr size_t Shown_Limit = 40;  // characters

std::string shown(std::string_view text, size_t limit = Shown_Limit);

}  // namespace tools
