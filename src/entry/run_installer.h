#pragma once

#include "entry/edition.h"
#include "platform/system.h"

#include <string>
#include <vector>

namespace installer::entry {

// Decodes the edition's settings, then runs the mode the arguments choose. Throws
// whatever ends the mode.
void runInstaller(const std::vector<std::string>& arguments, const Edition& edition,
                  const platform::System& system);

// The process: runs the installer and turns an escaping error into the line
// "安装失败：<description>" on standard error and exit status 1.
int runMain(int argc, char** argv, const Edition& edition);

} // namespace installer::entry
