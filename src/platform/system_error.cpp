#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

namespace installer::platform {

SystemError::SystemError(int errnum, std::string description)
    : std::system_error(errnum, std::generic_category()), description_(std::move(description)) {}

std::string describeErrno(int errnum) {
    switch (errnum) {
    case ENOENT: return "文件或文件夹不存在";
    case EACCES:
    case EPERM: return "没有权限";
    case EISDIR: return "这是一个文件夹";
    case ENOTDIR: return "路径中有一部分不是文件夹";
    case ELOOP: return "符号链接层数过多";
    case ENAMETOOLONG: return "文件名过长";
    case ENOSPC: return "磁盘空间不足";
    case EDQUOT: return "超出磁盘配额";
    case EROFS: return "文件系统是只读的";
    case EEXIST: return "文件已存在";
    case ENOTEMPTY: return "文件夹不为空";
    case EXDEV: return "不能在不同的卷之间移动";
    case EIO: return "输入输出错误";
    case EBUSY: return "资源正忙";
    case EMFILE:
    case ENFILE: return "打开的文件过多";
    case ENOEXEC: return "不是可执行的文件格式";
    case ETXTBSY: return "文件正被执行";
    case ENOMEM: return "内存不足";
    case EINVAL: return "参数无效";
    case EFBIG: return "文件过大";
    case EAGAIN: return "资源暂时不可用";
    default: return "系统错误 " + std::to_string(errnum) + "（" + std::strerror(errnum) + "）";
    }
}

void throwSystemError(int errnum, std::string_view action, const std::filesystem::path& path) {
    throw SystemError(errnum,
                      std::string(action) + "：" + describeErrno(errnum) + "（" + path.string() + "）");
}

} // namespace installer::platform
