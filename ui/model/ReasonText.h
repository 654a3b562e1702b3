#pragma once
#include <string>

// The window speaks Chinese, while the reasons the system, the process
// launcher and the transfer library give are English (and stay English in
// the log): this table puts the usual ones into the window's words. It works
// phrase by phrase, so a reason that wraps a known text in a known frame
// ("cannot execute 'x': No such file or directory") reads wholly in
// Chinese; what it does not know is shown as it came.
namespace ReasonText {

std::string chinese(const std::string& english);

}  // namespace ReasonText
