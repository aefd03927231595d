#include "platform/system_error.h"

#include <cerrno>

namespace installer::platform {

SystemError::SystemError(int errnum, std::string description)
    : std::system_error(errnum, std::generic_category()), description_(std::move(description)) {}

std::string describeErrno(int errnum) {
    switch (errnum) {
    case ENOENT:
        return "文件或文件夹不存在";
    case EACCES:
    case EPERM:
        return "没有权限";
    case EISDIR:
        return "这是一个文件夹";
    case ENOTDIR:
        return "路径中有一部分不是文件夹";
    case ELOOP:
        return "符号链接层数过多";
    case ENAMETOOLONG:
        return "文件名过长";
    case ENOSPC:
        return "磁盘空间不足";
    case EDQUOT:
        return "超出磁盘配额";
    case EROFS:
        return "文件系统是只读的";
    case EEXIST:
        return "文件已存在";
    case ENOTEMPTY:
        return "文件夹不为空";
    case EXDEV:
        return "不能在不同的卷之间移动";
    case EIO:
        return "输入输出错误";
    case EBUSY:
        return "资源正忙";
    case EMFILE:
    case ENFILE:
        return "打开的文件过多";
    case ENOEXEC:
        return "不是可执行的文件格式";
    case ETXTBSY:
        return "文件正被执行";
    case ENOMEM:
        return "内存不足";
    case EINVAL:
        return "参数无效";
    case EFBIG:
        return "文件过大";
    case EAGAIN:
        return "资源暂时不可用";
    case EINTR:
        return "操作被中断";
    case EBADF:
        return "文件描述符无效";
    case ENXIO:
        return "设备或地址不存在";
    case ENODEV:
        return "设备不支持此操作";
    case ESPIPE:
        return "不能在此文件中定位";
    case EMLINK:
        return "链接过多";
    case EPIPE:
        return "管道已断开";
    case EOVERFLOW:
        return "数值超出范围";
    case ENOTSUP:
        return "不支持此操作";
    case ETIMEDOUT:
        return "操作超时";
    case ECONNREFUSED:
        return "连接被拒绝";
    case ECONNRESET:
        return "连接被对方重置";
    case ENOLCK:
        return "没有可用的文件锁";
    case ESTALE:
        return "文件句柄已失效";
    default:
        return "系统错误（代码 " + std::to_string(errnum) + "）";
    }
}

void throwSystemError(int errnum, std::string_view action, const std::filesystem::path& path) {
    throw SystemError(errnum, std::string(action) + "：" + describeErrno(errnum) + "（" +
                                  path.string() + "）");
}

} // namespace installer::platform
