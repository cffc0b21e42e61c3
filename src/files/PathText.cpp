#include "files/PathText.h"

namespace lumetta::files {

static std::string_view trimTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

std::string lastPathComponent(std::string_view path) {
    path = trimTrailingSlashes(path);
    if (path == "/") return "/";
    auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string deletingLastPathComponent(std::string_view path) {
    path = trimTrailingSlashes(path);
    if (path == "/") return "/";
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return "";
    if (slash == 0) return "/";
    return std::string(trimTrailingSlashes(path.substr(0, slash)));
}

std::string pathExtension(std::string_view name) {
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return "";
    if (name.find('/', dot) != std::string_view::npos) return "";
    return std::string(name.substr(dot + 1));
}

static char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool isSingleItemName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string withTrailingSlash(std::string directory) {
    while (directory.size() > 1 && directory.back() == '/' &&
           directory[directory.size() - 2] == '/')
        directory.pop_back();
    if (directory.empty() || directory.back() != '/') directory.push_back('/');
    return directory;
}

}  // namespace lumetta::files
