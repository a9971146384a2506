// Fuzz target for the escaping shared by both ends of the protocol: the client's add_slashes and the
// service's escape/unescape must agree and round-trip, and finding names written by the service must
// reach the client unchanged.
#include <syslog.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "scand/wire.hpp"
#include "src/av.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
    std::abort();
}

void check_path(const std::string& path, int capacity) {
    std::vector<char> dest(2 * path.size() + 1);
    const int len = add_slashes(path.c_str(), dest.data(), static_cast<int>(2 * path.size()));
    if (len < 0)
        fail("add_slashes refused a buffer of twice the length", path);
    const std::string escaped(dest.data(), static_cast<std::size_t>(len));
    if (dest[static_cast<std::size_t>(len)] != '\0')
        fail("add_slashes left no NUL after the text", path);
    if (escaped != scand::escape(path))
        fail("client and service escape differently", path);
    const auto back = scand::unescape(escaped);
    if (!back || *back != path)
        fail("unescaping an escaped path does not give it back", path);
    // A smaller capacity either holds the whole escaped text or is refused; it is never overrun.
    std::vector<char> small(static_cast<std::size_t>(capacity) + 1);
    const int r = add_slashes(path.c_str(), small.data(), capacity);
    if (r != (len <= capacity ? len : -1))
        fail("add_slashes capacity check", path);
}

// The service's answer for one infected file, read back by the client's parser line by line.
void check_findings(const std::string& path, const std::vector<std::string>& findings) {
    scand::Outcome outcome;
    outcome.kind = scand::Outcome::Kind::Infected;
    outcome.findings = findings;
    std::string answer;
    scand::append_scan_lines(answer, path, outcome);
    answer += scand::end_line;
    response_t resp{};
    std::size_t off = 0;
    for (;;) {
        int r = parse(answer.data() + off, static_cast<int>(answer.size() - off), &resp);
        if (r <= 0)
            fail("the client cannot read the service's finding lines", answer);
        off += static_cast<std::size_t>(r);
        if (resp.type == TYPE_CODE)
            break;
        if (resp.type != TYPE_SCAN)
            fail("a finding line read as another kind of line", answer);
    }
    if (off != answer.size() || resp.code != 200)
        fail("the end line was not where the service put it", answer);
    std::vector<std::string> names;
    for (const infection* i = resp.infections; i != nullptr; i = i->next)
        names.insert(names.begin(), i->name);
    av_free_result(resp.infections);
    if (names != findings)
        fail("finding names changed on their way to the client", answer);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setlogmask(LOG_MASK(LOG_EMERG));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const int capacity = data[0];
    // NUL separates the fields: the first is a path, the others are finding names (C strings both ways).
    std::vector<std::string> fields;
    std::string cur;
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            fields.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(data[i]);
        }
    }
    fields.push_back(cur);
    check_path(fields[0], capacity);
    std::vector<std::string> findings;
    for (std::size_t i = 1; i < fields.size(); ++i)
        if (!fields[i].empty())
            findings.push_back(fields[i]);
    if (!fields[0].empty() && !findings.empty())
        check_findings(fields[0], findings);
    return 0;
}
