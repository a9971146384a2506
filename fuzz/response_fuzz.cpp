// Fuzz target for the client's response parser: arbitrary bytes parsed line by line as the reader does,
// once from the whole text and once as the text arrives in chunks; both must give the same lines and
// findings, and an incomplete line must leave the response untouched.
#include <syslog.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "src/av.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

struct Line {
    int result;
    type_t type;
    code_t code;
    std::uint32_t vps;
    std::vector<std::string> names;
    bool operator==(const Line&) const = default;
};

Line snapshot(int result, const response_t& resp) {
    Line l{result, resp.type, resp.code, resp.vps, {}};
    for (const infection* i = resp.infections; i != nullptr; i = i->next) {
        // A NUL from the service cuts a name short, even to nothing; the finding itself still counts.
        if (i->name == nullptr)
            fail("finding without a name");
        l.names.emplace_back(i->name);
    }
    return l;
}

// Parses lines from `text` while bytes become visible `chunk` at a time (chunk sizes cycle through
// `sizes`; an empty list shows everything at once). Stops at the first incomplete or defective line.
std::vector<Line> read_lines(const std::string& text, const std::vector<std::size_t>& sizes) {
    std::vector<Line> lines;
    response_t resp{};
    std::size_t visible = sizes.empty() ? text.size() : 0, next_size = 0, off = 0;
    for (;;) {
        const response_t before = resp;
        int avail = static_cast<int>(visible - off);
        int r = parse(text.data() + off, avail, &resp);
        if (r > avail)
            fail("consumed more bytes than were given");
        if (r > 0 && text[off + static_cast<std::size_t>(r) - 1] != '\n')
            fail("a parsed line does not end with its line feed");
        if (r == 0) {
            if (std::memcmp(&before, &resp, sizeof resp) != 0)
                fail("an incomplete line changed the response");
            if (visible < text.size()) {
                visible = std::min(text.size(), visible + sizes[next_size++ % sizes.size()]);
                continue;
            }
        }
        if (r < 0 && resp.infections != nullptr)
            fail("a defective line kept its findings");
        lines.push_back(snapshot(r, resp));
        if (r <= 0)
            break;
        off += static_cast<std::size_t>(r);
    }
    av_free_result(resp.infections);
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setlogmask(LOG_MASK(LOG_EMERG)); // "Defective AV response!" on every other input would flood syslog
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    // The first two bytes choose the chunk sizes (1 to 16 bytes each); the rest is the service's text.
    std::vector<std::size_t> sizes = {static_cast<std::size_t>(data[0] & 15) + 1,
                                      static_cast<std::size_t>(data[0] >> 4) + 1,
                                      static_cast<std::size_t>(data[1] & 15) + 1, 1};
    const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    const auto whole = read_lines(text, {});
    if (read_lines(text, sizes) != whole)
        fail("chunked arrival gives other lines than the whole text");
    if (read_lines(text, {1}) != whole)
        fail("byte-by-byte arrival gives other lines than the whole text");
    return 0;
}
