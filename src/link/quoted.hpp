#pragma once

#include <string>
#include <string_view>

namespace tiltwick {

// `text` between double quotes, as error renderings show it: quotes, backslashes, NUL, tab,
// line feed and carriage return escaped with a backslash, other control characters as \u{hex}.
std::string quoted(std::string_view text);

}  // namespace tiltwick
