#pragma once

#include "release/records.h"

#include <filesystem>

namespace installer::trust {

// Whether the file is exactly the package: a regular file (not a link) of
// package.sizeBytes bytes whose SHA-256 in lower-case hexadecimal is package.sha256.
// Throws "安装包大小无效" before reading a file of the wrong shape or size,
// "安装包校验失败" for another digest, and SystemError when the file cannot be read.
void verifyFile(const std::filesystem::path& file, const release::Package& package);

} // namespace installer::trust
