// Escaping and exclusion matching of the scan-service wire protocol.
#include "zelu/wire.hpp"

namespace zelu::wire {

namespace {

std::string with_slash(std::string dir) {
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

} // namespace

bool within(std::string_view path, std::string_view dir) {
    if (path.substr(0, dir.size()) != dir) {
        return false;
    }
    return path.size() == dir.size() || (!dir.empty() && dir.back() == '/') || path[dir.size()] == '/';
}

bool below(std::string_view path, std::string_view dir) {
    return path.size() > dir.size() && within(path, dir);
}

void escape_to(std::string& out, std::string_view text) {
    for (char c : text) {
        if (needs_escape(c)) {
            out += '\\';
        }
        out += c;
    }
}

std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    escape_to(out, text);
    return out;
}

std::optional<std::string> unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\') {
            if (i + 1 == text.size() || !needs_escape(text[i + 1])) {
                return std::nullopt;
            }
            ++i;
        }
        out += text[i];
    }
    return out;
}

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
        if (within(d, t)) {
            return true;
        }
    }
    return false;
}

} // namespace zelu::wire
