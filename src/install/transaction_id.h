#pragma once

#include <string>

namespace installer::install {

// A random (version 4) UUID in its upper-case text form: 36 characters, hexadecimal
// in groups of 8, 4, 4, 4 and 12. From the system's cryptographic random source, so
// two transactions in one folder never share their hidden names.
std::string newTransactionID();

} // namespace installer::install
