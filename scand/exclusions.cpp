// Exclusion lists of a connection, matched on lexically normalized paths.
#include "scand/exclusions.hpp"

namespace scand {

namespace {

bool below(std::string_view path, const std::string& tree) {
    return path.size() > tree.size() && path.substr(0, tree.size()) == tree;
}

std::string with_slash(std::string dir) {
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

} // namespace

std::string normalized(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    if (!path.empty() && path.front() == '/') {
        out += '/';
    }
    std::size_t i = 0;
    while (i < path.size()) {
        const std::size_t slash = path.find('/', i);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        const auto part = path.substr(i, end - i);
        if (!part.empty() && part != ".") {
            if (!out.empty() && out.back() != '/') {
                out += '/';
            }
            out += part;
        }
        i = end + 1;
    }
    if (out.empty() && !path.empty()) {
        out.push_back('.'); // a relative path of only "." components
    }
    return out;
}

bool Exclusions::add(std::string_view path) {
    if (bytes_ + path.size() > max_bytes) {
        return false;
    }
    bytes_ += path.size();
    if (path.size() >= 2 && path.substr(path.size() - 2) == "/*") {
        trees_.push_back(with_slash(normalized(path.substr(0, path.size() - 1))));
    } else {
        exact_.push_back(normalized(path));
    }
    return true;
}

bool Exclusions::covers(std::string_view path) const {
    const auto p = normalized(path);
    for (const auto& e : exact_) {
        if (p == e) {
            return true;
        }
    }
    for (const auto& t : trees_) {
        if (below(p, t)) {
            return true;
        }
    }
    return false;
}

bool Exclusions::covers_below(std::string_view dir) const {
    const auto d = with_slash(normalized(dir));
    for (const auto& t : trees_) {
        if (d == t || below(d, t)) {
            return true;
        }
    }
    return false;
}

} // namespace scand
