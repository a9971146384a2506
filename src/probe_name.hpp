// The contract between `zetctl selftest` and the daemon: how zetctl names its probe files and what finding
// they carry, so that the daemon's counts of infections (and zetctl status) leave them out.
#pragma once

#include <algorithm>
#include <cctype>
#include <string_view>

// zetctl names its probe SELFTEST_PREFIX + "<pid>-<16 hex digits>" + SELFTEST_SUFFIX.
inline constexpr std::string_view SELFTEST_PREFIX = ".zetctl-selftest-";
inline constexpr std::string_view SELFTEST_SUFFIX = ".com";

// Whether `name` (a last path component) has exactly the shape zetctl gives its probes.
inline bool selftest_name(std::string_view name) {
    constexpr std::size_t HEX_DIGITS = 16;
    if (name.size() <= SELFTEST_PREFIX.size() + SELFTEST_SUFFIX.size() ||
        name.substr(0, SELFTEST_PREFIX.size()) != SELFTEST_PREFIX ||
        name.substr(name.size() - SELFTEST_SUFFIX.size()) != SELFTEST_SUFFIX)
        return false;
    std::string_view mid =
        name.substr(SELFTEST_PREFIX.size(), name.size() - SELFTEST_PREFIX.size() - SELFTEST_SUFFIX.size());
    std::size_t dash = mid.find('-');
    if (dash == 0 || dash == std::string_view::npos || mid.size() - dash - 1 != HEX_DIGITS)
        return false;
    auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    return std::all_of(mid.begin(), mid.begin() + static_cast<long>(dash), digit) &&
           std::all_of(mid.begin() + static_cast<long>(dash) + 1, mid.end(), hex);
}

// Whether a finding is the EICAR test signature (each engine's database names it its own way). A real
// sample renamed to look like a probe is matched by something else and still counts as an infection.
inline bool selftest_finding(std::string_view finding) {
    constexpr std::string_view EICAR = "eicar";
    auto it = std::search(finding.begin(), finding.end(), EICAR.begin(), EICAR.end(),
                          [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    return it != finding.end();
}
