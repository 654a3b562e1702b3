#include "ui/model/ReasonText.h"

#include <regex>
#include <utility>

namespace ReasonText {

namespace {

// Longer phrases before the shorter ones they contain.
const std::pair<const char*, const char*> kPhrases[] = {
    // The system's error texts (strerror, FormatMessage).
    {"No such file or directory", "找不到文件或目录"},
    {"Permission denied", "权限不足"},
    {"Exec format error", "不是可执行的文件格式"},
    {"Not a directory", "不是目录"},
    {"Is a directory", "是目录"},
    {"Too many open files", "打开的文件过多"},
    {"Cannot allocate memory", "内存不足"},
    {"Resource temporarily unavailable", "资源暂时不可用"},
    {"Argument list too long", "参数列表过长"},
    {"Text file busy", "文件正被使用"},
    {"Operation not permitted", "不允许的操作"},
    {"Connection refused", "连接被拒绝"},
    {"Connection reset by peer", "连接被对方重置"},
    {"Network is unreachable", "网络不可达"},
    {"No route to host", "没有到主机的路由"},
    {"The system cannot find the file specified.", "系统找不到指定的文件。"},
    {"The system cannot find the path specified.", "系统找不到指定的路径。"},
    {"Access is denied.", "拒绝访问。"},
    {"is not a valid Win32 application.", "不是有效的 Win32 应用程序。"},
    {"The directory name is invalid.", "目录名称无效。"},
    // The transfer library's texts (health checks over HTTP, web hooks).
    {"Couldn't connect to server", "无法连接到服务器"},
    {"Timeout was reached", "连接超时"},
    {"Couldn't resolve host name", "无法解析主机名"},
    {"Couldn't resolve proxy name", "无法解析代理服务器名"},
    {"Server returned nothing (no headers, no data)", "服务器没有返回任何数据"},
    {"Failure when receiving data from the peer", "接收数据失败"},
    {"Failed sending data to the peer", "发送数据失败"},
    {"SSL connect error", "SSL 连接错误"},
    {"SSL peer certificate or SSH remote key was not OK", "服务器证书无效"},
    {"Peer certificate cannot be authenticated with given CA certificates", "无法用已知的 CA 证书验证服务器证书"},
    {"URL using bad/illegal format or missing URL", "URL 格式错误"},
    {"Weird server reply", "服务器的回答无法识别"},
    // The launcher's frames around them.
    {"cannot execute ", "无法执行 "},
    {"cannot start a process: ", "无法启动进程："},
    {"cannot start a session of its own: ", "无法创建会话："},
    {"cannot change to the working directory ", "无法进入工作目录 "},
    {"cannot open the output file ", "无法打开输出文件 "},
    {"cannot create the directory of the output file ", "无法创建输出文件所在的目录 "},
    {"cannot set up the standard streams: ", "无法设置标准输入输出："},
    {"the command line is empty", "命令行为空"},
    {"the command line has a quote that is not closed", "命令行中的引号没有闭合"},
    // How a process ended.
    {"exit status unknown (not started by this Procward)", "退出状态未知（非本程序启动）"},
    {"exit status unknown", "退出状态未知"},
    {" (core dumped)", "（已转储核心）"},
};

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

std::string chinese(const std::string& english) {
    std::string text = english;
    for (const auto& [from, to] : kPhrases) replaceAll(text, from, to);
    // A frame's quoted name is followed by the reason: "无法执行 'x'：找不到…".
    replaceAll(text, "': ", "'：");
    static const std::regex signal("was killed by signal (\\d+) \\((SIG[A-Z0-9+]+)\\)");
    text = std::regex_replace(text, signal, "被信号 $1 ($2) 终止");
    static const std::regex code("exited with code (-?\\w+)");
    text = std::regex_replace(text, code, "退出码 $1");
    return text;
}

}  // namespace ReasonText
