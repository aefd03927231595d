#pragma once

#include <cstdint>
#include <string>

namespace installer::ui {

// A byte count in decimal megabytes (1,000,000 bytes): "3 MB" when the quotient is a
// whole number, otherwise one decimal, "262.1 MB". Always with a full stop, whatever
// the process's locale.
std::string megabytes(std::int64_t bytes);

} // namespace installer::ui
