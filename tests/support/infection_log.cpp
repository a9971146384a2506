// The infection-log reader of the tests.
#include "tests/support/infection_log.hpp"

namespace zet_test {

std::vector<std::string> log_columns(const std::string& line) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        out.push_back(line.substr(start, tab - start));
    out.push_back(line.substr(start));
    return out;
}

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    if (start < text.size())
        out.push_back(text.substr(start));
    return out;
}

} // namespace

std::vector<std::vector<std::string>> read_infection_log(const std::string& file) {
    std::vector<std::vector<std::string>> out;
    for (const auto& line : lines_of(read_file(file)))
        out.push_back(log_columns(line));
    return out;
}

std::vector<std::string> wait_for_log_line(const std::string& file, const std::string& path,
                                           std::chrono::milliseconds timeout) {
    std::vector<std::string> found;
    wait_until(
        [&] {
            for (const auto& line : lines_of(read_file(file))) {
                if (has(line, "\t" + path + "\t")) {
                    found = log_columns(line);
                    return true;
                }
            }
            return false;
        },
        timeout);
    return found;
}

} // namespace zet_test
